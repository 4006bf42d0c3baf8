// A configuration file (*.mp) with a long hidden-file list: the settings
// dialog's save writes it from the dialog's list, its load reads it back into
// the list. Argument: the number of hidden-file paths. The cost must grow in
// step with the count (about the same time per path at every size).
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "bench_smoke.h"
#include "console/config_files.h"
#include "console/main_window.h"
#include "console/settings_dialog.h"
#include "console/startup.h"
#include "console/ui_strings.h"
#include "platform/instance/instance.h"
#include "platform/paths/paths.h"
#include "platform/registry/registry.h"
#include "platform/ui/ui.h"
#include "support/temp_dir.h"

namespace {

using namespace console;

struct Station {
  testing_support::TempDir root{"mp-bench"};
  std::unique_ptr<platform::ui::ScopedApplication> app;

  Station() {
    std::filesystem::create_directories(root / "home/misc");
    std::filesystem::create_directories(root / "locks");
    platform::SetProgramFolder(root / "home");
    platform::SetRegistryFile(root / "registry.ini");
    platform::SetInstanceLockFolder(root / "locks");
    InitUiStrings();
    app = std::make_unique<platform::ui::ScopedApplication>();
    CreateForms();
    Form1->Show();
    frmSetting->FormShow(frmSetting);  // every list of the dialog filled
  }
  ~Station() {
    DestroyForms();
    app.reset();
    platform::SetProgramFolder("");
    platform::SetRegistryFile("");
    platform::SetInstanceLockFolder("");
  }
};

std::vector<std::string> Paths(int count) {
  std::vector<std::string> paths;
  paths.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i)
    paths.push_back("/media/music/album " + std::to_string(i / 100) + "/Track " + std::to_string(i) + ".mp3");
  return paths;
}

void BM_SaveConfigFile(benchmark::State& state) {
  Station station;
  frmSetting->TntlstHideFiles.Items.Assign(Paths(static_cast<int>(state.range(0))));
  const std::string file = station.root / "set.mp";
  for (auto _ : state) SaveConfigFile(*frmSetting, file);
  state.counters["paths"] = static_cast<double>(state.range(0));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_LoadConfigFile(benchmark::State& state) {
  Station station;
  frmSetting->TntlstHideFiles.Items.Assign(Paths(static_cast<int>(state.range(0))));
  const std::string file = station.root / "set.mp";
  SaveConfigFile(*frmSetting, file);
  for (auto _ : state) LoadConfigFile(*frmSetting, file);
  if (frmSetting->TntlstHideFiles.Items.Count() != state.range(0)) state.SkipWithError("paths lost");
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

}  // namespace

BENCHMARK(BM_SaveConfigFile)->Arg(1000)->Arg(10000)->Arg(40000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadConfigFile)->Arg(1000)->Arg(10000)->Arg(40000)->Unit(benchmark::kMillisecond);
