// Workers scanning their own devices at the same time share no scan state:
// each detects its own page mode from its own samples, sets its page table
// and judges its own blocks, while the UI thread takes their progress
// hand-overs.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "production/scan_page.h"
#include "scan_fixture.h"

namespace production_test {
namespace {

// 256 blocks of 128 pages with every fourth page weak from `firstWeak` on.
DeviceProfile Weak(std::uint32_t firstWeak, std::vector<std::uint32_t> bad) {
  DeviceProfile p = DeviceProfile().WithGeometry(2048, 128, 256).WithEccMode(2).WithBadBlocks(std::move(bad));
  for (std::uint32_t page = firstWeak; page < 128; page += 4) p.WithWeakPage(page, 5);
  return p;
}

TEST_F(ScanTest, ConcurrencyWorkersDetectTheirOwnPageModes) {
  window.settings.PageMode = true;
  window.settings.PageModeSel = 7;
  window.settings.iScanLevel = 0;
  // Pages 3, 7 ... weak: "Specific mode 2" wins; pages 1, 5 ... weak: "Even Pages".
  ProductThread& e = Scanner(Weak(3, {30}), nullptr, 'E', 0);
  ProductThread& f = Scanner(Weak(1, {40, 41}), nullptr, 'F', 1);
  std::atomic<int> running{2};
  bool okE = false, okF = false;
  auto scan = [&](ProductThread& w, bool& ok) {
    return std::thread([&] {
      ok = w.FlashBlockScan(5, 305);
      --running;
      platform::ui::Application->Post([] {});  // wakes the loop below
    });
  };
  std::thread te = scan(e, okE), tf = scan(f, okF);
  while (running > 0) platform::ui::Application->HandleMessage();
  te.join();
  tf.join();
  ASSERT_TRUE(okE) << Status(e);
  ASSERT_TRUE(okF) << Status(f);
  EXPECT_EQ(Status(e), "Specific mode 2 255/256 Bad: 1");
  EXPECT_EQ(Status(f), "Even Pages 255/256 Bad: 2");
  EXPECT_EQ(BadIn(e), std::set<std::uint32_t>{30});
  EXPECT_EQ(BadIn(f), (std::set<std::uint32_t>{40, 41}));
  std::uint8_t evenPages[128];
  production::PageMapForMode(evenPages, 2, 128);
  EXPECT_EQ(dev->PageTable(), Bytes(evenPages, evenPages + 128));  // F's device
  EXPECT_EQ(e.Gauge->Progress(), 305);
  EXPECT_EQ(f.Gauge->Progress(), 305);
}

}  // namespace
}  // namespace production_test
