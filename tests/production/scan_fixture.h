// Set-up of the scan tests: an emulated device with its FSM loaded (the
// controller answers flash commands only then), a worker whose geometry is
// the device's and whose block status table is allocated as the run
// allocates it, and the device's own truth to compare the verdict with.
#pragma once

#include <algorithm>
#include <memory>
#include <set>
#include <string>

#include "production/product_thread.h"
#include "production/production_fixture.h"

namespace production_test {

// A window that sees its device leave at the n-th look at the slot: from
// then on every command fails at the device (still recorded in its trace)
// and the slot is free, as after a removal.
class RemovalWindow : public testing_support::FakeMainWindow {
 public:
  std::shared_ptr<EmulatedDevice> device;
  int removeAtLook = 0;

  char SlotDriveLetter(int slot) const override {
    if (++looks_ == removeAtLook) {
      emulator::Fault gone;
      gone.Always();
      device->InjectFault(gone);
      removed_ = true;
    }
    return removed_ ? 0 : FakeMainWindow::SlotDriveLetter(slot);
  }

 private:
  mutable int looks_ = 0;
  mutable bool removed_ = false;
};

struct ScanTest : ProductionTest {
  std::shared_ptr<EmulatedDevice> dev;

  void SetUp() override {
    ProductionTest::SetUp();
    window.uiTexts["RealBlankingCheckStr"] = "Blanking Check";
    window.uiTexts["BlankingCheckSetupStr"] = "Blanking Check Setup";
  }

  // Plugs the device, loads its FSM and makes a worker for it on the run's
  // handle. The worker's ECC threshold is 4 bit errors.
  ProductThread& Scanner(const DeviceProfile& p, testing_support::FakeMainWindow* other = nullptr, char letter = 'E',
                         int slot = 0) {
    dev = Plug(p, letter);  // with its FSM loaded
    ProductThread* w;
    if (other) {
      other->settings = window.settings;
      other->uiTexts = window.uiTexts;
      other->SetSlot(slot, letter);
      auto panel = other->SlotControls(slot);
      workers.push_back(std::make_unique<ProductThread>(*other, letter, slot, panel.statusText, panel.gauge,
                                                        panel.image, "LABEL", panel.textF, panel.textP));
      w = workers.back().get();
      w->hDevice = OpenVolume(letter);
    } else {
      w = &Worker(letter, slot);
    }
    w->ChipCount = p.chipCount;
    w->BlocksPerChip = static_cast<int>(p.geometry.blocksPerChip);
    w->PagesPerBlock = static_cast<int>(p.geometry.pagesPerBlock);
    w->PageSize = static_cast<int>(p.geometry.pageSize);
    w->EccThreshold = 4;
    w->BlockStatus.assign(p.TotalBlocks(), 0);
    w->StatusText->SetFontColor(platform::ui::clWindowText);
    w->Gauge->SetMaxValue(400);
    dev->ClearTrace();
    return *w;
  }

  // The blocks the worker's table calls bad.
  static std::set<std::uint32_t> BadIn(const ProductThread& w) {
    std::set<std::uint32_t> bad;
    for (std::uint32_t b = 0; b < w.BlockStatus.size(); ++b)
      if (w.BlockStatus[b] != 255) bad.insert(b);
    return bad;
  }

  std::size_t Tests() const { return dev->CountVendor(device::SUB_SCSI_OP_BLOCK_TEST); }
  std::size_t Erases() const { return dev->CountVendor(device::SUB_SCSI_OP_ERASE_BLOCK); }
  std::size_t TestsOf(std::uint32_t block) const {
    auto tests = dev->BlockTests();
    return static_cast<std::size_t>(
        std::count_if(tests.begin(), tests.end(), [&](auto& t) { return t.block == block; }));
  }
  std::string Status(const ProductThread& w) const { return w.StatusText->Caption(); }
};

}  // namespace production_test
