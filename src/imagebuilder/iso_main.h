// The image tool window: the operator collects host files and folders, picks
// a volume size and label, and builds one image file holding that volume for
// 512-byte and for 1024-byte sectors. The new file's name is handed to the
// settings dialog.
//
// The build runs on the window thread. While it runs, the builder's progress
// callback lets the window's messages be processed (at most every
// kPumpIntervalMs of the platform clock, and the builder calls it per sector),
// so the window repaints and Timer1 keeps the busy bar moving. Closing the
// window during a build is refused: the close box does nothing until the
// build has ended (a modal close request is dropped, a modeless close gets
// caNone), so the operator never leaves a half-built file behind unknowingly.
//
// Settings: misc/ImgTool.ini (label, track-bar position, the list as written
// at close) and misc/isoseting.ini (the list, UTF-16), both in the program folder.
//
// The window sits beside the console, below it in the layers, so whatever it
// needs of the windows above comes through the hooks below, which the console
// sets: the main window's language, the message table, and where the new
// file's name goes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "imagebuilder/image_builder.h"
#include "platform/ui/ui.h"

namespace imagebuilder {

using namespace platform::ui;

class TfrmIsoMain : public TForm {
 public:
  // Builds the controls and runs FormCreate (the settings files are read).
  explicit TfrmIsoMain(ImageBuilder& builder = TheImageBuilder());

  // ---- controls ----
  TLabel lblDiskSize{this, "lblDiskSize"};
  TTrackBar tbarHideDiskRatio{this, "tbarHideDiskRatio"};  // volume size in steps of 32 MB
  TEdit edtDiskSize{this, "edtDiskSize"};                  // read-only: position x 32
  TLabel Label1{this, "Label1"};
  TLabel lblDiskLabel{this, "lblDiskLabel"};
  TEdit edtDiskLabel{this, "edtDiskLabel"};
  TGroupBox grpHiddenFiles{this, "grpHiddenFiles"};
  TTntListBox TntlstHideFiles{&grpHiddenFiles, "TntlstHideFiles"};  // one host path per line
  TBitBtn btnAddFile{&grpHiddenFiles, "btnAddFile"};
  TBitBtn btnAddDir{&grpHiddenFiles, "btnAddDir"};
  TBitBtn btnRemove{&grpHiddenFiles, "btnRemove"};
  TButton btnCreateImg{this, "btnCreateImg"};
  TSaveDialog fsDlg{this, "fsDlg"};
  TTntOpenDialog TntfoDlg{this, "TntfoDlg"};
  TProgressBar ProgressBar1{this, "ProgressBar1"};  // busy indicator, shown while building
  TTimer Timer1{this, "Timer1"};                    // moves the busy indicator

  // The language of the window's texts (0 English, 1 Traditional, 2
  // Simplified Chinese), taken from the main window when shown.
  int LanguageIndex = 0;

  // ---- hooks set by the console ----
  // The main window's language index; unset: the window keeps its own.
  std::function<int()> MainLanguageIndex;
  // The message-table text whose English text is `english`, in `languageIndex`;
  // unset: the English text.
  std::function<std::string(const std::string& english, int languageIndex)> MessageText;
  // Receives the file just built (the settings dialog's image-file field).
  std::function<void(const std::string& file)> OnImageCreated;

  // ---- event handlers ----
  void FormCreate(TObject* Sender);
  void FormShow(TObject* Sender);
  void FormClose(TObject* Sender, TCloseAction& Action);
  void btnAddFileClick(TObject* Sender);
  void btnAddDirClick(TObject* Sender);
  void btnRemoveClick(TObject* Sender);
  void tbarHideDiskRatioChange(TObject* Sender);
  void btnCreateImgClick(TObject* Sender);
  void Timer1Timer(TObject* Sender);

  // ---- own operations ----
  void SetCaptions();
  void EnableControls(bool on);
  // Builds both slots into `file` from the list, the size and the label;
  // reports a failure to the operator. The copying itself is the builder's
  // (ImageBuilder::AddListToImage, AddDirToImage, AddFileToImage).
  bool CreateImage(const std::string& file);

  bool Building() const { return building_; }

  // How often, at most, a build lets the window's messages be processed.
  static constexpr std::uint64_t kPumpIntervalMs = 40;
  // The busy bar's step interval.
  static constexpr unsigned kTimerIntervalMs = 100;

 private:
  // The builder's progress callback.
  void BuildProgress();
  // `english` in the window's language.
  std::string Text(const std::string& english) const;

  ImageBuilder& builder_;
  bool building_ = false;
  std::uint64_t lastPumpMs_ = 0;
};

}  // namespace imagebuilder
