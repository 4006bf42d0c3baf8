// Injected faults, the request trace, removal, and calls from several threads.
#include <atomic>
#include <thread>

#include "emulator_fixture.h"

using namespace device;
using namespace emulator_test;
using emulator::Fault;

namespace {

bool TestBlocks(platform::HANDLE h, std::uint32_t block, std::uint32_t count = 1) {
  std::uint8_t r[8] = {};
  return cmd_bBlockTest(h, block, count, 0, 1, 3, 0, 4, r, 0, 64);
}

}  // namespace

TEST_F(EmulatorTest, FaultsBySubOpcodeCallNumberAndAddress) {
  auto [d, h] = Open(Small());
  d->InjectFault(Fault::Vendor(SUB_SCSI_OP_WRITE_DATA).OnCall(2).Times(2));
  Bytes piece(2048, 1);
  for (bool expected : {true, false, false, true}) EXPECT_EQ(bool(cmd_bWriteData(h, piece.data(), 2048)), expected);

  // An even status: the call is carried out, the command fails, nothing happens.
  d->InjectFault(Fault::Vendor(SUB_SCSI_OP_WRITE_SETUP).AsEvenStatus());
  EXPECT_FALSE(cmd_bWriteSetup(h, 10));
  EXPECT_TRUE(d->Trace().back().carriedOut);
  EXPECT_EQ(d->Trace().back().status, 0x02);
  EXPECT_TRUE(cmd_bWriteSetup(h, 10));

  // For one block only, every time, also inside a range covering it.
  d->InjectFault(Fault::Vendor(SUB_SCSI_OP_BLOCK_TEST).At(77).Always());
  EXPECT_TRUE(TestBlocks(h, 76));
  EXPECT_FALSE(TestBlocks(h, 77));
  EXPECT_FALSE(TestBlocks(h, 75, 4));
  d->ClearFaults();
  EXPECT_TRUE(TestBlocks(h, 77));

  // A page address, and a standard command by opcode.
  d->InjectFault(Fault::Vendor(SUB_SCSI_OP_WRITE_PAGES).At(64 * 9 + 1));
  Bytes page(2048, 0);
  EXPECT_TRUE(cmd_bWritePages(h, 64 * 9, 1, page.data(), 2048, 0));
  EXPECT_FALSE(cmd_bWritePages(h, 64 * 9 + 1, 1, page.data(), 2048, 0));
  EXPECT_FALSE(d->Page(9, 1));
  d->InjectFault(Fault::Opcode(SCSI_READ_CAPACITY));
  std::uint32_t lba = 1, len = 1;
  EXPECT_FALSE(cmd_bReadCapacity(h, &lba, &len));
  EXPECT_TRUE(d->Trace().back().faulted);
  EXPECT_FALSE(d->Trace().back().carriedOut);
}

TEST_F(EmulatorTest, CheckConditionIsACarriedOutCallThatMovesNoData) {
  auto [d, h] = Open(Small());
  // Seen through each result convention: "call" passes, "status" and answers read zeros.
  d->InjectFault(Fault::Vendor(SUB_SCSI_OP_READ_FLASH_ID).AsCheckCondition().Times(2));
  std::uint8_t id[5] = {1, 1, 1, 1, 1};
  EXPECT_TRUE(cmd_bGetFlashId(h, id));
  EXPECT_EQ(Bytes(id, id + 5), Bytes(5, 0));
  EXPECT_TRUE(cmd_bGetFlashIdByDrive('E', id));
  d->InjectFault(Fault::Vendor(SUB_SCSI_OP_ERASE_BLOCK).AsCheckCondition());
  EXPECT_FALSE(cmd_bEraseBlock(h, 5, 1));
  d->InjectFault(Fault::Vendor(SUB_SCSI_OP_WRITE_PAGES).AsCheckCondition({0x04, 0x44, 0x01}));
  Bytes page(2048, 0x5A);
  device::Refusal refusal;
  EXPECT_FALSE(cmd_bWritePages(h, 64 * 5, 1, page.data(), 2048, 0, &refusal)) << "a page the device did not take";
  EXPECT_FALSE(d->Page(5, 0)) << "nothing written";
  const auto t = d->Trace().back();
  EXPECT_TRUE(t.carriedOut && t.checkCondition && t.faulted);
  // The fault's sense data reaches the command layer through the sense area.
  EXPECT_TRUE(refusal.refused && refusal.sense);
  EXPECT_EQ(device::DescribeRefusal(refusal), "CHECK CONDITION, sense key 4 (HARDWARE ERROR), ASC/ASCQ 44/01");
}

TEST_F(EmulatorTest, RemovalFailsEveryCallAndFreesTheLetter) {
  auto [d, h] = Open(Small());
  d->Unplug();
  EXPECT_FALSE(platform::Volumes().Lookup('E'));
  std::uint8_t id[5];
  EXPECT_FALSE(cmd_bGetFlashId(h, id));
  EXPECT_FALSE(cmd_bGetFlashIdByDrive('E', id));

  // Plugged again: a new handle works, the handle of the earlier plug stays dead.
  ASSERT_EQ(d->Plug(0), 'D');  // the first free letter
  Handle fresh('D');
  EXPECT_TRUE(cmd_bGetFlashId(fresh, id));
  EXPECT_FALSE(cmd_bGetFlashId(h, id));

  // A letter another device holds cannot be taken; a target opened without a letter works.
  auto other = EmulatedDevice::Create(Small(), dir / "other");
  EXPECT_EQ(other->Plug('D'), 0);
  ASSERT_EQ(other->Plug('Q'), 'Q');
  platform::HANDLE bare = platform::OpenTargetHandle(other->Target());
  EXPECT_EQ(cmd_GetChipCount(bare), 1);
  platform::CloseHandle(bare);

  // A destroyed device leaves its letter and its handles fail.
  devices.clear();
  d.reset();
  EXPECT_FALSE(platform::Volumes().Lookup('D'));
  EXPECT_FALSE(cmd_bGetFlashId(fresh, id));
}

// The arrival handler and a worker may talk to one device at the same time.
TEST_F(EmulatorConcurrency, ArrivalAndWorkerShareADevice) {
  auto [d, h] = Open(Small());
  d->InjectFault(Fault::Vendor(SUB_SCSI_OP_BLOCK_TEST).At(500).Always());
  std::thread worker([&] {
    Handle own('E');
    for (std::uint32_t b = 400; b < 600; ++b) TestBlocks(own, b);
  });
  std::thread arrival([&] {
    std::uint8_t id[5];
    for (int i = 0; i < 100; ++i) {
      cmd_bInquiry('E');
      cmd_bGetFlashIdByDrive('E', id);
    }
  });
  worker.join();
  arrival.join();
  EXPECT_EQ(d->BlockTests().size(), 199u);  // the faulted call did nothing
  EXPECT_EQ(d->CountRequests(SCSI_INQUIRY), 100u);
}

TEST_F(EmulatorConcurrency, RemovalDuringARun) {
  auto [d, h] = Open(Small());
  std::vector<bool> passed;  // the worker's results, call by call
  std::atomic<bool> running{false};
  std::thread worker([&] {
    for (std::uint32_t i = 0, failures = 0; i < 500000 && failures < 50; ++i) {
      passed.push_back(TestBlocks(h, i % 1024));
      failures += !passed.back();
      if (i == 100) running = true;
    }
  });
  while (!running) std::this_thread::yield();
  d->Unplug();
  worker.join();

  // Every test up to the removal passed and was carried out; every one after it failed.
  std::size_t before = 0;
  while (before < passed.size() && passed[before]) ++before;
  EXPECT_GT(before, 100u);
  ASSERT_EQ(passed.size(), before + 50) << "the calls after the removal fail, and only they";
  EXPECT_EQ(d->BlockTests().size(), before);
  std::uint8_t id[5];
  EXPECT_FALSE(cmd_bGetFlashIdByDrive('E', id));
}
