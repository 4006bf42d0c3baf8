// SPI-only devices: music files behind their headers, the read-back of the
// program and prefer images and its comparison, and the saved SPI image.
#include <filesystem>

#include "production_fixture.h"

using namespace production_test;
namespace fs = std::filesystem;

namespace {

struct SpiTest : ProductionTest {
  std::string program = home / "player.bin", prefer = home / "prefer.dat";

  static std::string Pattern(std::size_t size, int seed) {
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>(i * 31 + seed + i / 4096);
    return s;
  }
  // An SPI-only device holding the program and prefer images, downloaded as the run does.
  ProductThread& Downloaded(std::size_t programSize, std::size_t preferSize = 6000) {
    Plug(emulator::profiles::SpiOnlyDevice());
    ProductThread& w = Worker();
    WriteFile(program, Pattern(programSize, 1));
    WriteFile(prefer, Pattern(preferSize, 2));
    for (const std::string& image : {program, prefer}) {
      EXPECT_TRUE(production::WriteSetup(w.hDevice, image));
      EXPECT_TRUE(production::WriteImageData(w.hDevice, image, 0));
      EXPECT_TRUE(production::WriteEnd(w.hDevice));
    }
    w.ProgramPath = program;
    return w;
  }
  std::string Status() { return window.panels[0].status.Caption(); }
};

}  // namespace

TEST_F(SpiTest, ReadBackMatchesTheImagesAtTheirPlaces) {
  ProductThread& w = Downloaded(100000);
  // 100000 bytes round up to 131072; the prefer image follows 64 KiB later.
  ASSERT_TRUE(w.DumpSpiFirmware(".\\NorImage.bin"));
  const std::string image = ReadFile(home / "NorImage.bin");
  ASSERT_EQ(image.size(), 262144u);
  EXPECT_EQ(image.substr(196608, 2048), ReadFile(prefer).substr(2048, 2048));
  EXPECT_EQ(image.substr(65536, 100000 - 2048), ReadFile(program).substr(2048));

  ASSERT_TRUE(w.DumpSpiProgramPrefer(program, "0_Read_buffer.bin", prefer));
  const std::string readback = home / "log/0_Read_buffer.bin";
  EXPECT_EQ(fs::file_size(readback), 196608u + 6144u);
  EXPECT_TRUE(w.CompareSpiReadback(program, "0_Read_buffer.bin", prefer));

  // One corrupted byte in the compared prefer range, then in the program range.
  for (std::size_t at : {196608u + 2047u, 65536u + 5u}) {
    std::string bytes = ReadFile(readback);
    bytes[at] = static_cast<char>(bytes[at] ^ 0x40);
    WriteFile(readback, bytes);
    EXPECT_FALSE(w.CompareSpiReadback(program, "0_Read_buffer.bin", prefer)) << at;
    EXPECT_EQ(Status(), "Check Data fail");
    EXPECT_EQ(window.panels[0].status.Font().Color, platform::ui::clRed);
    bytes[at] = static_cast<char>(bytes[at] ^ 0x40);
    WriteFile(readback, bytes);
  }
}

TEST_F(SpiTest, TheImagesPlacesFollowTheProgramRoundedUpTo64KiB) {
  // program size -> the saved image's size and where the prefer image lies
  const std::size_t cases[][3] = {{131072, 262144, 196608}, {131071, 262144, 196608}, {131073, 327680, 262144}};
  for (const auto& [size, imageSize, preferAt] : cases) {
    SCOPED_TRACE(size);
    devices.clear();
    platform::Volumes().Clear();
    ProductThread& w = Downloaded(size);
    ASSERT_TRUE(w.DumpSpiFirmware(".\\NorImage.bin"));
    const std::string image = ReadFile(home / "NorImage.bin");
    ASSERT_EQ(image.size(), imageSize);
    EXPECT_EQ(image.substr(preferAt, 2048), ReadFile(prefer).substr(2048, 2048));
    ASSERT_TRUE(w.DumpSpiProgramPrefer(program, "0_Read_buffer.bin", prefer));
    EXPECT_EQ(fs::file_size(home / "log/0_Read_buffer.bin"), preferAt + 6144u);
    EXPECT_TRUE(w.CompareSpiReadback(program, "0_Read_buffer.bin", prefer));
  }
}

TEST_F(SpiTest, ComparisonOfShortOrMissingFiles) {
  ProductThread& w = Downloaded(40000);  // shorter than 64 KiB: no program range to compare
  ASSERT_TRUE(w.DumpSpiProgramPrefer(program, "r.bin", prefer));
  EXPECT_TRUE(w.CompareSpiReadback(program, "r.bin", prefer));
  const std::string readback = home / "log/r.bin";
  fs::resize_file(readback, 131072 + 1000);  // ends inside the compared prefer range
  EXPECT_FALSE(w.CompareSpiReadback(program, "r.bin", prefer));
  EXPECT_FALSE(w.CompareSpiReadback(program, "none.bin", prefer));
  EXPECT_FALSE(w.CompareSpiReadback(home / "none", "r.bin", prefer));

  EXPECT_FALSE(w.DumpSpiProgramPrefer(home / "none", "r.bin", prefer));
  EXPECT_EQ(Status(), "Open program file fail!");
  EXPECT_FALSE(w.DumpSpiProgramPrefer(program, "r.bin", home / "none"));
  EXPECT_EQ(Status(), "Open perfer file fail!");

  // More than the read command can address, and a failing read.
  const std::size_t reads = devices.back()->CountVendor(0x9D);
  WriteFile(program, Pattern(17u << 20, 3));
  EXPECT_FALSE(w.DumpSpiFirmware(".\\NorImage.bin"));
  EXPECT_EQ(Status(), "SPI read error!");
  EXPECT_EQ(devices.back()->CountVendor(0x9D), reads) << "refused before any read";
  WriteFile(program, Pattern(1000, 3));
  devices.back()->InjectFault(emulator::Fault::Vendor(0x9D).OnCall(2));
  EXPECT_FALSE(w.DumpSpiFirmware(".\\NorImage.bin"));
  EXPECT_EQ(Status(), "SPI read error!");
}

TEST_F(SpiTest, MusicFilesGoOutBehindTheirHeaders) {
  Plug(emulator::profiles::SpiOnlyDevice());
  ProductThread& w = Worker();
  WriteFile(home / "a.mp3", Pattern(10000, 4));
  WriteFile(home / "notes.txt", Pattern(10, 5));
  WriteFile(home / "B.WMA", Pattern(20000, 6));
  window.spiFiles = {home / "a.mp3", home / "notes.txt", home / "B.WMA", home / "gone.mp3"};
  ASSERT_TRUE(w.WriteSpiMusicFiles());
  const auto images = devices.back()->Images();
  ASSERT_EQ(images.size(), 2u);
  const std::pair<std::string, std::uint8_t> expected[] = {{"a.mp3", 0x83}, {"B.WMA", 0xC5}};
  for (std::size_t k = 0; k < 2; ++k) {
    const std::string body = ReadFile(home / expected[k].first);
    const Bytes& got = images[k].bytes;
    EXPECT_EQ(images[k].announced, body.size() + 2048);
    ASSERT_EQ(got.size(), 8192 + body.size());
    EXPECT_EQ(std::string(got.begin(), got.begin() + 4), "Q401");
    EXPECT_EQ(got[4], expected[k].second);
    EXPECT_EQ((std::uint32_t{got[5]} << 24) | (std::uint32_t{got[6]} << 16) | (std::uint32_t{got[7]} << 8) | got[8],
              body.size());
    EXPECT_EQ(std::string(got.begin() + 9, got.begin() + 8192), std::string(8183, '\0'));
    EXPECT_EQ(std::string(got.begin() + 8192, got.end()), body);
  }
  // A failed data transfer fails with the row and FailMsg.
  devices.back()->InjectFault(emulator::Fault::Vendor(0x7B).OnCall(2));
  EXPECT_FALSE(w.WriteSpiMusicFiles());
  EXPECT_EQ(Status(), "SPI hidden files write fail");
}

TEST_F(SpiTest, MusicFilesGoOutInPiecesOf8192EndingAtTheEndOfFileIndication) {
  // Sizes whose last piece is full (or which are empty) end with a piece of
  // 0 bytes, as the other file senders do.
  const struct {
    std::size_t size;
    std::vector<std::uint32_t> pieces;  // after the 8192-byte header
  } cases[] = {{16384, {8192, 8192, 0}}, {0, {0}}, {9000, {8192, 808}}, {8191, {8191}}};
  char letter = 'E';
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    Plug(emulator::profiles::SpiOnlyDevice(), letter);
    ProductThread& w = Worker(letter++);
    WriteFile(home / "m.mp3", Pattern(c.size, 7));
    window.spiFiles = {home / "m.mp3"};
    devices.back()->ClearTrace();
    ASSERT_TRUE(w.WriteSpiMusicFiles());
    std::vector<std::uint32_t> sent;
    for (const auto& t : devices.back()->Trace())
      if (t.IsVendor(0x7B)) sent.push_back(t.length);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.front(), 8192u) << "the header";
    EXPECT_EQ(std::vector<std::uint32_t>(sent.begin() + 1, sent.end()), c.pieces);
    ASSERT_EQ(devices.back()->Images().size(), 1u);
    EXPECT_EQ(devices.back()->Images()[0].bytes.size(), 8192 + c.size);
  }
}
