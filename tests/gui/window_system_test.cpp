// What the window system receives of the station's windows: the settings,
// image tool and password windows reach it as dialogs (their window type)
// of the window they were opened from (WM_TRANSIENT_FOR), so that a window
// manager keeps them over it and gives them no task bar entry of their own.
// Read back with xprop from a virtual X server of the test's own (Xvfb): the
// test program runs itself again there, on Qt's X11 platform.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "console/other_forms.h"
#include "console/settings_dialog.h"
#include "gui_fixture.h"

extern char** environ;

namespace gui::testing {
namespace {

namespace fs = std::filesystem;
using namespace platform::ui;

constexpr const char* kChildMark = "STATION_WINDOW_SYSTEM_CHILD";

std::string FindProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  for (std::size_t start = 0; start <= dirs.size();) {
    const std::size_t end = std::min(dirs.find(':', start), dirs.size());
    const fs::path candidate = fs::path(dirs.substr(start, end - start)) / name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
    start = end + 1;
  }
  return {};
}

// Runs `argv` with `environment` and standard output and error into `output`;
// returns its exit status (-1 when it could not be run).
int RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& environment, std::string& output) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, out[1], 2);
  std::vector<char*> args, env;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const std::string& e : environment) env.push_back(const_cast<char*>(e.c_str()));
  env.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (spawned != 0) {
    ::close(out[0]);
    return -1;
  }
  char buffer[4096];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) output.append(buffer, static_cast<std::size_t>(n));
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A virtual X server on a display number it chooses itself, listening on
// no network; ended with the test.
class VirtualDisplay {
 public:
  explicit VirtualDisplay(const std::string& xvfb) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const std::string fd = std::to_string(fds[1]);
    const char* argv[] = {xvfb.c_str(), "-displayfd", fd.c_str(), "-nolisten", "tcp", "-screen", "0",
                          "1280x800x24", nullptr};
    const bool spawned =
        posix_spawn(&pid_, xvfb.c_str(), &actions, nullptr, const_cast<char**>(argv), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (!spawned) pid_ = 0;
    // The server writes its display number once it takes clients (nothing when it fails).
    std::string number;
    char c;
    while (spawned && ::read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    ::close(fds[0]);
    if (!number.empty()) display_ = ":" + number;
  }
  ~VirtualDisplay() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  VirtualDisplay(const VirtualDisplay&) = delete;
  VirtualDisplay& operator=(const VirtualDisplay&) = delete;
  const std::string& display() const { return display_; }

 private:
  pid_t pid_ = 0;
  std::string display_;
};

TEST(WindowSystem, TheStationsDialogsAreDialogsOfTheirOwner) {
  if (std::getenv(kChildMark)) GTEST_SKIP() << "the run on the virtual display itself";
  const std::string xvfb = FindProgram("Xvfb"), xprop = FindProgram("xprop");
  if (xvfb.empty() || xprop.empty())
    GTEST_SKIP() << "Xvfb or xprop is not installed (Debian packages xvfb and x11-utils, which scripts/setup.sh "
                    "installs): what the window system receives of the station's dialogs is not checked here";
  const VirtualDisplay display(xvfb);
  ASSERT_FALSE(display.display().empty()) << "Xvfb did not start";
  std::vector<std::string> environment;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    if (entry.rfind("DISPLAY=", 0) != 0 && entry.rfind("QT_QPA_PLATFORM=", 0) != 0) environment.push_back(entry);
  }
  environment.push_back("DISPLAY=" + display.display());
  environment.push_back("QT_QPA_PLATFORM=xcb");
  environment.push_back(std::string(kChildMark) + "=" + xprop);
  std::string output;
  const int status = RunProgram({fs::read_symlink("/proc/self/exe").string(), "--gtest_filter=WindowSystemOnX11.*"},
                         environment, output);
  EXPECT_EQ(status, 0) << output;
  EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
}

// Runs in the child, on the virtual display.
class WindowSystemOnX11 : public GuiTest {
 protected:
  void SetUp() override {
    if (!std::getenv(kChildMark)) GTEST_SKIP() << "runs only on the virtual display of WindowSystem.*";
    GuiTest::SetUp();
    Application->SetDialogService(session_->dialogs());
    setUp_ = true;
  }
  void TearDown() override {
    if (setUp_) GuiTest::TearDown();
  }
  bool setUp_ = false;
};

// The window's properties as xprop reads them from the server.
std::string Properties(WId window) {
  QGuiApplication::sync();  // everything the window was given has reached the server
  std::string output;
  const std::string id = "0x" + QString::number(window, 16).toStdString();
  RunProgram({std::getenv(kChildMark), "-id", id, "WM_TRANSIENT_FOR", "_NET_WM_WINDOW_TYPE"},
             {std::string("DISPLAY=") + std::getenv("DISPLAY")}, output);
  return output;
}

std::string TransientFor(WId owner) { return "WM_TRANSIENT_FOR(WINDOW): window id # 0x" + QString::number(owner, 16).toStdString(); }

TEST_F(WindowSystemOnX11, DialogsAreTransientForTheWindowTheyWereOpenedFrom) {
  Start();
  QWidget* main = renderer().WindowOf(console::Form1);
  Settle();
  struct Seen {
    std::string what;
    std::string properties;
    WId owner;
  };
  std::vector<Seen> seen;
  auto note = [&](const char* what, QWidget* w, QWidget* owner) {
    seen.push_back({what, Properties(w->winId()), owner->winId()});
  };
  auto named = [](const char* name) { return [name](QWidget* m) { return m->objectName() == name; }; };
  OnNextModal(
      [&](QWidget* settings) {
        note("settings", settings, main);
        OnNextModal([&](QWidget* tool) { note("image tool", tool, settings), tool->close(); }, named("frmIsoMain"));
        console::frmIsoMain->ShowModal();  // as the settings' Create button opens it
        OnNextModal([&](QWidget* password) { note("password", password, settings), password->close(); },
                    named("Form2"));
        console::Form2->ShowModal();
        settings->close();
      },
      named("frmSetting"));
  console::Form1->btnSetup.UserClick();
  ASSERT_EQ(seen.size(), 3u);
  for (const Seen& s : seen) {
    SCOPED_TRACE(s.what);
    EXPECT_NE(s.properties.find(TransientFor(s.owner)), std::string::npos) << s.properties;
    EXPECT_NE(s.properties.find("_NET_WM_WINDOW_TYPE_DIALOG"), std::string::npos) << s.properties;
  }
  // The main window is a window of its own.
  const std::string mainProperties = Properties(main->winId());
  EXPECT_NE(mainProperties.find("_NET_WM_WINDOW_TYPE_NORMAL"), std::string::npos) << mainProperties;
  EXPECT_EQ(mainProperties.find("window id #"), std::string::npos) << mainProperties;
}

}  // namespace
}  // namespace gui::testing
