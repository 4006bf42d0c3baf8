// A program folder of its own for each test: misc/ beside a fresh registry
// store and instance-lock folder, a fresh application with scripted dialogs,
// the texts at their English defaults and the current folder restored after.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "console/main_window.h"
#include "console/startup.h"
#include "console/ui_strings.h"
#include "platform/instance/instance.h"
#include "platform/paths/paths.h"
#include "platform/registry/registry.h"
#include "platform/ui/ui.h"

namespace console::testing {

namespace fs = std::filesystem;

inline std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

class StationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/console-test-XXXXXX";
    root_ = ::mkdtemp(pattern);
    home_ = root_ / "home";
    fs::create_directories(home_ / "misc");
    fs::create_directories(root_ / "locks");
    savedCwd_ = fs::current_path();
    platform::SetProgramFolder(home_.string());
    platform::SetRegistryFile((root_ / "registry.ini").string());
    platform::SetInstanceLockFolder((root_ / "locks").string());
    InitUiStrings();
  }

  void TearDown() override {
    DestroyForms();
    app_.reset();
    fs::current_path(savedCwd_);
    platform::SetProgramFolder("");
    platform::SetRegistryFile("");
    platform::SetInstanceLockFolder("");
    InitUiStrings();
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  platform::ui::ScriptedDialogs& dialogs() { return app_->dialogs(); }
  // Creates the five windows and shows the main one (FormShow).
  void Start() {
    CreateForms();
    Form1->Show();
  }

  // The operator closes the main window (FormClose), then the windows go.
  void Stop() {
    Form1->Close();
    DestroyForms();
  }

  fs::path misc() const { return home_ / "misc"; }
  std::string Prefer() const { return ReadBytes(misc() / "prefer.ini"); }

  std::unique_ptr<platform::ui::ScopedApplication> app_ = std::make_unique<platform::ui::ScopedApplication>();
  fs::path root_;
  fs::path home_;
  fs::path savedCwd_;
};

}  // namespace console::testing
