#include "imagebuilder/iso_main.h"

#include <sys/stat.h>

#include <optional>
#include <utility>
#include <vector>

#include "platform/clock/clock.h"
#include "platform/convert/convert.h"
#include "platform/ini/ini.h"
#include "platform/paths/paths.h"
#include "platform/textfile/textfile.h"

namespace imagebuilder {
namespace {

constexpr const char* kSettingsFile = "misc\\ImgTool.ini";
constexpr const char* kListFile = "misc\\isoseting.ini";
constexpr const char* kDefaultLabel = "PASS WD";
constexpr int kDefaultPosition = 8;  // 256 MB
constexpr int kMegabytesPerStep = 32;

std::uint64_t NowMs() { return platform::CurrentClock()->MonotonicMs(); }

// A folder picked as "/a/b/" is listed as "/a/b", so that it has a name.
std::string WithoutTrailingSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

TfrmIsoMain::TfrmIsoMain(ImageBuilder& builder) : TForm("frmIsoMain"), builder_(builder) {
  SetCaption("IMG tool");
  SetBounds(0, 0, 480, 400);

  lblDiskSize.SetCaption("Disk Size(MB)");
  lblDiskSize.SetBounds(16, 16, 200, 16);
  tbarHideDiskRatio.SetRange(4, 256);
  tbarHideDiskRatio.SetPosition(32);
  tbarHideDiskRatio.SetFrequency(8);
  tbarHideDiskRatio.SetBounds(16, 36, 300, 30);
  edtDiskSize.SetReadOnly(true);
  edtDiskSize.SetBounds(328, 40, 72, 21);
  Label1.SetCaption("MB");
  Label1.SetBounds(406, 44, 30, 16);
  lblDiskLabel.SetCaption("Disk Label");
  lblDiskLabel.SetBounds(16, 80, 110, 16);
  edtDiskLabel.SetMaxLength(8);
  edtDiskLabel.SetCharCase(ecUpperCase);
  edtDiskLabel.SetBounds(132, 76, 110, 21);
  grpHiddenFiles.SetBounds(16, 108, 440, 214);
  TntlstHideFiles.SetMultiSelect(true);
  TntlstHideFiles.SetBounds(10, 20, 318, 184);
  btnAddFile.SetBounds(338, 20, 92, 25);
  btnAddDir.SetBounds(338, 52, 92, 25);
  btnRemove.SetBounds(338, 84, 92, 25);
  btnCreateImg.SetBounds(16, 334, 130, 30);
  ProgressBar1.SetMin(0);
  ProgressBar1.SetMax(100);
  ProgressBar1.SetBounds(160, 340, 296, 18);
  ProgressBar1.SetVisible(false);
  Timer1.SetEnabled(false);
  Timer1.SetInterval(kTimerIntervalMs);

  fsDlg.DefaultExt = "IMG";
  fsDlg.Filter = "Image File *.IMG|*.IMG";
  TntfoDlg.Options |= ofAllowMultiSelect;

  OnShow = [this](TObject* s) { FormShow(s); };
  OnClose = [this](TObject* s, TCloseAction& a) { FormClose(s, a); };
  btnAddFile.OnClick = [this](TObject* s) { btnAddFileClick(s); };
  btnAddDir.OnClick = [this](TObject* s) { btnAddDirClick(s); };
  btnRemove.OnClick = [this](TObject* s) { btnRemoveClick(s); };
  tbarHideDiskRatio.OnChange = [this](TObject* s) { tbarHideDiskRatioChange(s); };
  btnCreateImg.OnClick = [this](TObject* s) { btnCreateImgClick(s); };
  Timer1.OnTimer = [this](TObject* s) { Timer1Timer(s); };

  FormCreate(this);
}

std::string TfrmIsoMain::Text(const std::string& english) const {
  return MessageText ? MessageText(english, LanguageIndex) : english;
}

// ---------------------------------------------------------------- window life

void TfrmIsoMain::FormCreate(TObject*) {
  const platform::TMemIniFile ini(platform::ProgramPath(kSettingsFile));
  edtDiskLabel.SetText(ini.ReadString("DISK", "Label", kDefaultLabel));
  tbarHideDiskRatio.SetPosition(ini.ReadInteger("DISK", "DiskSize", kDefaultPosition));
  tbarHideDiskRatioChange(this);

  const std::string listFile = platform::ProgramPath(kListFile);
  std::vector<std::string> lines;
  if (!platform::FileExists(listFile) || !platform::LoadListFile(listFile, lines)) return;
  std::vector<std::string> present;
  for (std::string& line : lines)
    if (platform::FileExists(line) || platform::DirectoryExists(line)) present.push_back(std::move(line));
  TntlstHideFiles.Items.Assign(present);
}

void TfrmIsoMain::FormShow(TObject*) {
  if (MainLanguageIndex) LanguageIndex = MainLanguageIndex();
  SetCaptions();
}

void TfrmIsoMain::FormClose(TObject*, TCloseAction& Action) {
  if (building_) {
    Action = caNone;  // the build ends first
    return;
  }
  platform::SetCurrentDir(platform::ProgramFolder());
  // misc/ is made first: both files live there.
  const std::string misc = platform::ProgramPath("misc");
  if (!platform::DirectoryExists(misc) && ::mkdir(misc.c_str(), 0777) != 0 && !platform::DirectoryExists(misc)) {
    MessageBox("Create misc dir fail!", "ERROR", MB_OK | MB_ICONERROR);
    return;
  }
  const std::vector<std::string> list = TntlstHideFiles.Items.ToVector();
  try {
    platform::SaveListFile(platform::ProgramPath(kListFile), list);
  } catch (const platform::Exception& e) {
    MessageBox(e.what(), "ERROR", MB_OK | MB_ICONERROR);
  }
  // Every key in one whole-file write.
  try {
    platform::TMemIniFile ini(platform::ProgramPath(kSettingsFile));
    ini.WriteString("DISK", "Label", edtDiskLabel.Text());
    ini.WriteInteger("Disk", "DiskSize", tbarHideDiskRatio.Position());
    ini.EraseSection("HIDE_FILES");
    for (std::size_t i = 0; i < list.size(); ++i) ini.WriteString("HIDE_FILES", "files" + std::to_string(i), list[i]);
    ini.UpdateFile();
  } catch (const platform::Exception& e) {
    MessageBox(e.what(), "ERROR", MB_OK | MB_ICONERROR);
  }
}

void TfrmIsoMain::SetCaptions() {
  SetCaption(Text("Create Image"));
  btnCreateImg.SetCaption(Text("Create Image"));
  lblDiskLabel.SetCaption(Text("Disk Label"));
  lblDiskSize.SetCaption(Text("Image Disk Size:"));
  grpHiddenFiles.SetCaption(Text("Hidden Files"));
  btnAddFile.SetCaption(Text("Add Files"));
  btnAddDir.SetCaption(Text("Add Dir"));
  btnRemove.SetCaption(Text("Remove"));
}

// ---------------------------------------------------------------- list and size

void TfrmIsoMain::btnAddFileClick(TObject*) {
  if (!TntfoDlg.Execute()) return;
  for (const std::string& file : TntfoDlg.Files) TntlstHideFiles.Items.Add(file);
}

void TfrmIsoMain::btnAddDirClick(TObject*) {
  const std::optional<std::string> folder = SelectFolder("Select Directory");
  if (folder && !folder->empty()) TntlstHideFiles.Items.Add(WithoutTrailingSlash(*folder));
}

void TfrmIsoMain::btnRemoveClick(TObject*) { TntlstHideFiles.DeleteSelected(); }

void TfrmIsoMain::tbarHideDiskRatioChange(TObject*) {
  edtDiskSize.SetText(platform::IntToStr(std::int64_t{tbarHideDiskRatio.Position()} * kMegabytesPerStep));
}

// ---------------------------------------------------------------- building

void TfrmIsoMain::EnableControls(bool on) {
  btnCreateImg.SetEnabled(on);
  btnAddDir.SetEnabled(on);
  btnAddFile.SetEnabled(on);
  btnRemove.SetEnabled(on);
  tbarHideDiskRatio.SetEnabled(on);
  edtDiskLabel.SetEnabled(on);
  ProgressBar1.SetVisible(!on);
  Timer1.SetEnabled(!on);
}

void TfrmIsoMain::Timer1Timer(TObject*) { ProgressBar1.SetPosition((ProgressBar1.Position() + 10) % 100); }

void TfrmIsoMain::btnCreateImgClick(TObject*) {
  if (building_) return;
  if (!fsDlg.Execute()) {
    EnableControls(true);
    return;
  }
  const std::string file = fsDlg.FileName;
  EnableControls(false);
  bool ok = false;
  try {
    ok = CreateImage(file);
  } catch (...) {
    EnableControls(true);
    throw;
  }
  EnableControls(true);
  if (!ok) return;  // CreateImage has told the operator
  MessageBox(Text("Create Image") + Text("Success"), Text("Success"), MB_OK | MB_ICONINFORMATION);
  if (OnImageCreated) OnImageCreated(file);
}

bool TfrmIsoMain::CreateImage(const std::string& file) {
  ImageBuildRequest request;
  request.entries = TntlstHideFiles.Items.ToVector();
  request.sizeMiB = static_cast<std::uint32_t>(platform::StrToInt(edtDiskSize.Text()));
  request.label = edtDiskLabel.Text();
  request.outputPath = file;

  struct BuildScope {
    TfrmIsoMain& form;
    explicit BuildScope(TfrmIsoMain& f) : form(f) {
      form.building_ = true;
      form.lastPumpMs_ = NowMs();
      form.builder_.SetProgressCallback([&f] { f.BuildProgress(); });
    }
    ~BuildScope() {
      form.builder_.SetProgressCallback(nullptr);
      form.building_ = false;
    }
  };
  ImageBuildResult result;
  {
    BuildScope scope(*this);
    result = builder_.ImageBuildFile(request);
  }
  if (result.ok) return true;
  // The builder says which entry or step failed; it follows the message on its own line.
  const std::string what = result.stage == ImageBuildStage::kOutput ? "Image output" : "Init Image Disk";
  std::string text = Text(what) + Text("Fail");
  if (!result.message.empty()) text += "\n" + result.message;
  MessageBox(text, Text("Fail"), MB_OK | MB_ICONERROR);
  return false;
}

void TfrmIsoMain::BuildProgress() {
  const std::uint64_t now = NowMs();
  if (now - lastPumpMs_ < kPumpIntervalMs) return;
  lastPumpMs_ = now;
  Application->ProcessMessages();
  // A close asked for meanwhile is refused: the modal loop would end the
  // window as soon as the build returns.
  if (Modal() && ModalResult() != mrNone) SetModalResult(mrNone);
}

}  // namespace imagebuilder
