// Inspection of the pre-copy list on firmware and data files built here: which
// entry is which image, their sizes, the firmware ID, the system-area summary,
// the flash module number marker and the FSM version text.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <optional>
#include <tuple>

#include "console/firmware_files.h"
#include "console/settings_dialog.h"
#include "station_fixture.h"

namespace console::testing {
namespace {

using namespace platform::ui;
using FirmwareFiles = StationTest;

using M = std::array<std::uint8_t, 3>;

// A firmware file as the tests want it: built up with the chained setters.
struct Firmware {
  std::size_t size = 40000;
  std::uint8_t sdk = 0;
  bool signature = true;
  std::optional<std::uint8_t> id;
  std::optional<M> marker;
  Firmware& Size(std::size_t n) { return size = n, *this; }
  Firmware& Sdk(std::uint8_t v) { return sdk = v, *this; }
  Firmware& Unsigned() { return signature = false, *this; }
  Firmware& Id(std::uint8_t v) { return id = v, *this; }
  Firmware& Marker(std::uint8_t a, std::uint8_t b, std::uint8_t c) { return marker = M{a, b, c}, *this; }
};
Firmware Bin() { return Firmware{}; }

std::string FirmwareBytes(const Firmware& f) {
  std::string bytes(f.size, '\xFF');
  auto put = [&](std::size_t at, std::initializer_list<std::uint8_t> values) {
    for (std::uint8_t v : values)
      if (at < bytes.size()) bytes[at++] = static_cast<char>(v);
  };
  if (f.signature) put(0, {'Q', '4', '7', '1'});
  put(5, {f.sdk});
  if (f.id) put(2044, {'I', 'D', 0, *f.id});
  if (f.marker) put(38909, {(*f.marker)[0], (*f.marker)[1], (*f.marker)[2]});
  return bytes;
}

class Inspection : public FirmwareFiles {
 protected:
  void SetUp() override {
    FirmwareFiles::SetUp();
    fs::create_directories(root_ / "files");
    Start();
  }
  std::string File(const std::string& name, const std::string& bytes) {
    const fs::path p = root_ / "files" / name;
    WriteBytes(p, bytes);
    return p.string();
  }
  std::string Fw(const std::string& name, const Firmware& f) { return File(name, FirmwareBytes(f)); }
  // The operator adds the files through the Add files button.
  void Add(std::vector<std::string> files) {
    dialogs().AnswerFiles(std::move(files));
    ASSERT_TRUE(Form1->AddFilesBtn.UserClick());
  }
  std::string Summary() const { return Form1->labSystemArea.Caption(); }
  std::string Marker(const std::string& path) const { return ReadBytes(path).substr(38909, 3); }
};

TEST_F(Inspection, EntriesAreRecognisedByNameAndTheLatestVariantGivesTheHeader) {
  const std::string plain = Fw("b.bin", Bin().Size(600000).Sdk(3));
  const std::string old = Fw("a_OLD.bin", Bin().Size(50000).Sdk(7));
  const std::string fresh = Fw("x_new.bin", Bin().Size(70000).Sdk(9));
  const std::string prefer = File("prefer.dat", "p");
  const std::string iso = File("IMAGE.ISO", std::string(5 * 1048576, 'i'));
  const std::string telbook = File("my_telbook.dat", std::string(3000, 't'));
  const std::string folder = (root_ / "files" / "fw.bin").string();
  fs::create_directories(folder);
  struct Case {
    std::vector<std::string> list;
    int program, fresh, prefer, iso, telbook;
    std::int64_t programSize;
    int sdk;
    std::string summary;
  };
  const Case cases[] = {
      {{}, -1, -1, -1, -1, -1, 0, 0, "System Area Size: 4MB"},
      {{plain, prefer}, 0, -1, 1, -1, -1, 600000, 3, "System Area Size: 8MB"},
      {{old, plain}, 1, -1, -1, -1, -1, 50000, 7, "System Area Size: 4MB"},
      {{old, fresh, plain}, 2, 1, -1, -1, -1, 70000, 9, "System Area Size: 4MB"},
      // The telbook and (with the ISO box clear) the ISO image do not count.
      // A folder named like firmware keeps its place but gives no header.
      {{plain, folder}, 1, -1, -1, -1, -1, 0, 0, "System Area Size: 4MB"},
      {{telbook, iso, plain}, 2, -1, -1, 1, 0, 600000, 3, "System Area Size: 4MB"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.list));
    Form1->TntSelectFileList2.Items.Clear();
    Add(c.list);
    const TForm1& f = *Form1;
    EXPECT_EQ(std::tie(f.iProgramIndex, f.iNewProgramIndex, f.iPreferIndex, f.iIsoIndex, f.iTelbookIndex),
              std::tie(c.program, c.fresh, c.prefer, c.iso, c.telbook));
    EXPECT_EQ(std::tie(f.iProgramSize, f.iSdkType), std::tie(c.programSize, c.sdk));
    EXPECT_EQ(Summary(), c.summary);
  }
  EXPECT_EQ(Form1->iTelbookSize, 3000);
  EXPECT_EQ(Form1->iIsoSize, 5 * 1048576);
}

TEST_F(Inspection, SummaryFollowsTheIsoBoxAndRemovalAndCountsPastTwoGigabytes) {
  Add({Fw("fw.bin", Bin().Size(600000)), File("prefer.dat", "p"), File("image.iso", std::string(5 * 1048576, 'i'))});
  ASSERT_TRUE(Form1->chkISOupgrade.UserClick());
  EXPECT_EQ(Summary(), "System Area Size: 16MB");
  Form1->TntSelectFileList2.SetSelected(1, true);
  ASSERT_TRUE(Form1->RemoveBtn.UserClick());
  EXPECT_EQ(Form1->iPreferIndex, -1);
  EXPECT_EQ(Form1->iIsoIndex, 1);
  EXPECT_EQ(Summary(), "System Area Size: 16MB");  // 1 + 1 + 5 MiB, doubled, to 16

  // A 3 GiB image (sparse): 2 * (1 + 1 + 3072) MiB rounded up to 4 MiB.
  const fs::path big = root_ / "files" / "big" / "image.iso";
  fs::create_directories(big.parent_path());
  WriteBytes(big, "");
  fs::resize_file(big, 3LL << 30);
  Form1->TntSelectFileList2.Items.Delete(1);
  Add({big.string()});
  EXPECT_EQ(Form1->iIsoSize, 3LL << 30);
  EXPECT_EQ(Summary(), "System Area Size: 6148MB");
}

TEST_F(Inspection, FirmwareIdComesFromTheFirstFirmwareThatCarriesOne) {
  const std::string none = Fw("a.bin", {});
  const std::string withId = Fw("b.bin", Bin().Id(0x5A));
  const std::string other = Fw("c.bin", Bin().Id(0x11));
  const std::string shortFile = Fw("s.bin", Bin().Size(2046));
  const std::pair<std::vector<std::string>, int> cases[] = {
      {{none, withId, other}, 0x5A}, {{shortFile, other}, 0x11}, {{none, shortFile}, 0}, {{}, 0}};
  for (const auto& [list, id] : cases) {
    Form1->TntSelectFileList2.Items.Clear();
    Add(list);
    EXPECT_EQ(Form1->FirmwareId, id) << ::testing::PrintToString(list);
  }
}

TEST_F(Inspection, AFifoNamedLikeAFirmwareOrAnImageIsRefusedWithoutWaiting) {
  const std::string pipe = (root_ / "files" / "pipe.bin").string();
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  Add({pipe, Fw("b.bin", Bin().Id(0x5A).Marker(0x55, 0xAA, 4))});
  EXPECT_EQ(Form1->FirmwareId, 0) << "the first firmware cannot be opened: the search ends there";
  EXPECT_EQ(Form1->iFlashModuleNo, 0);
  std::uint64_t size = 0;
  EXPECT_FALSE(ProbeImageFile(pipe, size));
}

TEST_F(Inspection, ModuleNumberIsReadOnlyFromAWholeMarkerOfTheFirstBinEntry) {
  struct Case {
    Firmware first;
    int expected;
  };
  const Case cases[] = {
      {Bin().Marker(0x55, 0xAA, 4), 4},
      {Bin().Unsigned().Marker(0x55, 0xAA, 200), 200},  // the signature is not examined
      {Bin().Marker(0x55, 0xAB, 4), 0},
      {{}, 0},                                                  // no marker
      {Bin().Size(38911).Marker(0x55, 0xAA, 4), 0},         // the file ends inside the marker
  };
  for (const Case& c : cases) {
    Form1->TntSelectFileList2.Items.Clear();
    Form1->iFlashModuleNo = 0;
    // fw.bin.bak is firmware for the list but has no ".bin" extension.
    Add({Fw("fw.bin.bak", Bin().Marker(0x55, 0xAA, 9)), Fw("fw.BIN", c.first), Fw("z.bin", Bin().Marker(0x55, 0xAA, 7))});
    EXPECT_EQ(Form1->iFlashModuleNo, c.expected);
  }
}

TEST_F(Inspection, MarkerIsWrittenOnlyIntoASignedFileWithAWholeMarker) {
  const std::string unsigned_ = Fw("a.bin", Bin().Unsigned().Marker(0x55, 0xAA, 3));
  const std::string signed_ = Fw("b.bin", Bin().Marker(0x55, 0xAA, 3));
  Add({unsigned_, signed_});
  EXPECT_EQ(Form1->iFlashModuleNo, 3);  // read from the first
  WriteCapacityMultiplier(*Form1, 5);
  EXPECT_EQ(Marker(unsigned_), "\x55\xAA\x03");
  EXPECT_EQ(Marker(signed_), "\x55\xAA\x05");  // written into the signed one
  EXPECT_EQ(dialogs().Count(DialogKind::MessageBox), 0u);

  WriteCapacityMultiplier(*Form1, -1);
  EXPECT_EQ(dialogs().Last().request.text, "nonlegal mulitplier");
  EXPECT_EQ(Marker(signed_), "\x55\xAA\x05");

  // Only the first signed file is tried: one without a whole marker stops the write.
  for (const Firmware& f : {Bin().Marker(0x55, 0x00, 3), Bin().Size(38910)}) {
    Form1->TntSelectFileList2.Items.Clear();
    const std::string first = Fw("c.bin", f);
    const std::string second = Fw("d.bin", Bin().Marker(0x55, 0xAA, 3));
    const std::string before = ReadBytes(first);
    Add({first, second});
    WriteCapacityMultiplier(*Form1, 2);
    EXPECT_EQ(ReadBytes(first), before);  // never grown, never changed
    EXPECT_EQ(Marker(second), "\x55\xAA\x03");
  }
}

TEST_F(Inspection, CloseResetsTheMarkerAndAFileThatCannotBeWrittenGivesOneBox) {
  const std::string fw = Fw("fw.bin", Bin().Marker(0x55, 0xAA, 4));
  Add({fw});
  Stop();
  EXPECT_EQ(Marker(fw), std::string("\x55\xAA\x00", 3));
  EXPECT_EQ(dialogs().Count(DialogKind::MessageBox), 0u);

  // Read-only (also for an administrator) and vanished files stay as they are.
  const std::string readOnly = Fw("ro.bin", Bin().Marker(0x55, 0xAA, 4));
  fs::permissions(readOnly, fs::perms::owner_read | fs::perms::group_read);
  const std::string gone = Fw("gone.bin", Bin().Marker(0x55, 0xAA, 4));
  const std::string before = ReadBytes(readOnly);
  Start();
  Form1->TntSelectFileList2.Items.Clear();  // fw.bin came back from the list file
  Add({readOnly, gone});
  fs::remove(gone);
  dialogs().Clear();
  WriteCapacityMultiplier(*Form1, 1);
  EXPECT_EQ(ReadBytes(readOnly), before);
  EXPECT_FALSE(fs::exists(gone));
  ASSERT_EQ(dialogs().Count(), 1u);
  EXPECT_EQ(dialogs().Last().request.text, "Firmware file not found");
  Stop();
  EXPECT_EQ(ReadBytes(readOnly), before);
  EXPECT_EQ(dialogs().Count(), 2u);
}

TEST_F(FirmwareFiles, FsmVersionTextIsBoundedToItsFieldAndGivesTheFileSize) {
  CreateForms();
  TForm1& f = *Form1;
  const fs::path fsm = misc() / "FSM.bin";
  auto withField = [](const std::string& field, std::size_t tail) {
    return std::string(8192, '\0') + field + std::string(tail, 'z');
  };
  const std::string full = "FSM" + std::string(300, 'v');  // no NUL inside the field
  struct Case {
    std::optional<std::string> bytes;
    std::string text;
    int size;
  };
  const Case cases[] = {
      {withField(std::string("FSM V1.2", 9), 50), "FSM V1.2", 8192 + 9 + 50},
      {withField(full, 0), full.substr(0, 255), static_cast<int>(8192 + full.size())},
      {withField("FS", 0), kNoFsmVersion, 8194},
      {withField("XSM 1.0", 1), kNoFsmVersion, 8200},
      {std::string(100, 'F'), kNoFsmVersion, 100},
      {std::nullopt, kNoFsmVersion, 100},  // missing: the size stays
  };
  for (const Case& c : cases) {
    if (c.bytes)
      WriteBytes(fsm, *c.bytes);
    else
      fs::remove(fsm);
    EXPECT_EQ(GetFsmVersionLabel(f), c.text);
    EXPECT_EQ(f.iFsmFileSize, c.size);
  }
}

}  // namespace
}  // namespace console::testing
