// Injected faults, the request trace, removal, and calls from several threads.
#include <thread>

#include "emulator_fixture.h"

using namespace device;
using namespace emulator_test;
using emulator::Fault;

TEST_F(EmulatorTest, FaultsBySubOpcodeCallNumberAndAddress) {
  auto d = Make(Small());
  Handle h('E');
  d->InjectFault(Fault::Vendor(SUB_SCSI_OP_WRITE_DATA).OnCall(2).Times(2));
  Bytes piece(2048, 1);
  EXPECT_TRUE(cmd_bWriteData(h, piece.data(), 2048));
  EXPECT_FALSE(cmd_bWriteData(h, piece.data(), 2048));
  EXPECT_FALSE(cmd_bWriteData(h, piece.data(), 2048));
  EXPECT_TRUE(cmd_bWriteData(h, piece.data(), 2048));

  // An even status: the call is carried out, the command fails, nothing happens.
  d->InjectFault(Fault::Vendor(SUB_SCSI_OP_WRITE_SETUP).AsEvenStatus());
  EXPECT_FALSE(cmd_bWriteSetup(h, 10));
  EXPECT_TRUE(d->Trace().back().carriedOut);
  EXPECT_EQ(d->Trace().back().status, 0x02);
  EXPECT_TRUE(cmd_bWriteSetup(h, 10));

  // For one block only, every time.
  d->InjectFault(Fault::Vendor(SUB_SCSI_OP_BLOCK_TEST).At(77).Always());
  std::uint8_t r = 0;
  EXPECT_TRUE(cmd_bBlockTest(h, 76, 1, 0, 1, 3, 0, 4, &r, 0, 64));
  EXPECT_FALSE(cmd_bBlockTest(h, 77, 1, 0, 1, 3, 0, 4, &r, 0, 64));
  EXPECT_FALSE(cmd_bBlockTest(h, 75, 4, 0, 1, 3, 0, 4, &r, 0, 64));  // a range covering it
  EXPECT_FALSE(cmd_bBlockTest(h, 77, 1, 0, 1, 3, 0, 4, &r, 0, 64));
  d->ClearFaults();
  EXPECT_TRUE(cmd_bBlockTest(h, 77, 1, 0, 1, 3, 0, 4, &r, 0, 64));

  // A page address, and a standard command by opcode.
  d->InjectFault(Fault::Vendor(SUB_SCSI_OP_WRITE_PAGES).At(64 * 9 + 1));
  Bytes page(2048, 0);
  EXPECT_TRUE(cmd_bWritePages(h, 64 * 9, 1, page.data(), 2048, 0));
  EXPECT_FALSE(cmd_bWritePages(h, 64 * 9 + 1, 1, page.data(), 2048, 0));
  EXPECT_FALSE(d->Page(9, 1));
  d->InjectFault(Fault::Opcode(SCSI_INQUIRY).AsEvenStatus(0x7E));
  EXPECT_FALSE(cmd_bInquiry('E'));
  d->InjectFault(Fault::Opcode(SCSI_READ_CAPACITY));
  std::uint32_t lba = 1, len = 1;
  EXPECT_FALSE(cmd_bReadCapacity(h, &lba, &len));
  EXPECT_TRUE(d->Trace().back().faulted);
  EXPECT_FALSE(d->Trace().back().carriedOut);
}

TEST_F(EmulatorTest, TraceRecordsEveryRequest) {
  auto d = Make(Small());
  Handle h('E');
  Bytes table = emulator::FlashTableFor(Small());
  ASSERT_TRUE(cmd_bWriteFlashTable(h, table.data(), 512));
  std::uint8_t id[5];
  ASSERT_TRUE(cmd_bGetFlashId(h, id));
  ASSERT_TRUE(cmd_bEraseBlock(h, 0x01020304, 1) == 0);  // far beyond the flash: fails
  const auto trace = d->Trace();
  ASSERT_EQ(trace.size(), 3u);
  EXPECT_TRUE(trace[0].IsVendor(SUB_SCSI_OP_WRITE_FLASH_TABLE));
  EXPECT_EQ(trace[0].Op(), VENDOR_OUT);
  EXPECT_EQ(trace[0].direction, platform::ScsiDirection::Out);
  EXPECT_EQ(trace[0].length, 512u);
  EXPECT_EQ(trace[0].cdbLength, 6);
  EXPECT_NE(trace[0].digest, 0u);
  EXPECT_EQ(trace[1].direction, platform::ScsiDirection::In);
  EXPECT_EQ(trace[1].status, 0x98);  // answer byte 0: the maker code
  EXPECT_EQ(trace[2].cdb[2], 0x01);
  EXPECT_EQ(trace[2].cdb[5], 0x04);
  EXPECT_EQ(trace[2].status, emulator::kStatusFailed);
  EXPECT_EQ(d->CountRequests(VENDOR_IN), 2u);
  EXPECT_EQ(d->CountRequests(VENDOR_IN, SUB_SCSI_OP_READ_FLASH_ID), 1u);
  d->ClearTrace();
  EXPECT_TRUE(d->Trace().empty());
}

TEST_F(EmulatorTest, RemovalFailsEveryCallAndFreesTheLetter) {
  auto d = Make(Small());
  Handle h('E');
  ASSERT_TRUE(h.Valid());
  d->Unplug();
  EXPECT_FALSE(d->Plugged());
  EXPECT_FALSE(platform::Volumes().Lookup('E'));
  std::uint8_t id[5];
  EXPECT_FALSE(cmd_bGetFlashId(h, id));
  EXPECT_EQ(cmd_GetSerialNum(h), 0);
  EXPECT_FALSE(cmd_bGetFlashIdByDrive('E', id));
  EXPECT_FALSE(Handle('E').Valid());
  EXPECT_FALSE(d->Trace().back().carriedOut);

  // Plugged again: a new handle works, the handle of the earlier plug stays dead.
  ASSERT_EQ(d->Plug(0), 'D');  // the first free letter
  Handle fresh('D');
  EXPECT_TRUE(cmd_bGetFlashId(fresh, id));
  EXPECT_FALSE(cmd_bGetFlashId(h, id));
  EXPECT_EQ(d->Letter(), 'D');

  // A letter another device holds cannot be taken.
  auto other = EmulatedDevice::Create(Small(), dir / "other");
  EXPECT_EQ(other->Plug('D'), 0);
  EXPECT_FALSE(other->Plugged());
  EXPECT_EQ(other->Target(), nullptr);

  // A destroyed device leaves its letter and its handles fail.
  devices.clear();
  d.reset();
  EXPECT_FALSE(platform::Volumes().Lookup('D'));
  EXPECT_FALSE(cmd_bGetFlashId(fresh, id));
}

TEST_F(EmulatorTest, HandleFromTargetWithoutLetter) {
  auto d = EmulatedDevice::Create(Small(), dir / "bare");
  EXPECT_EQ(d->Target(), nullptr);
  ASSERT_EQ(d->Plug('Q'), 'Q');
  platform::HANDLE h = platform::OpenTargetHandle(d->Target());
  EXPECT_EQ(cmd_GetChipCount(h), 1);
  platform::CloseHandle(h);
}

// The arrival handler and a worker may talk to one device at the same time.
struct EmulatorConcurrency : EmulatorTest {};

TEST_F(EmulatorConcurrency, ArrivalAndWorkerShareADevice) {
  auto d = Make(Small());
  d->InjectFault(Fault::Vendor(SUB_SCSI_OP_BLOCK_TEST).At(500).Always());
  std::thread worker([&] {
    Handle h('E');
    std::uint8_t r = 0;
    for (std::uint32_t b = 400; b < 600; ++b) cmd_bBlockTest(h, b, 1, 0, 1, 3, 0, 4, &r, 0, 64);
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
  auto d = Make(Small());
  std::thread worker([&] {
    Handle h('E');
    std::uint8_t r = 0;
    bool failed = false;
    for (std::uint32_t b = 0; b < 1024; ++b)
      if (!cmd_bBlockTest(h, b, 1, 0, 1, 3, 0, 4, &r, 0, 64)) failed = true;
    (void)failed;
  });
  d->Unplug();
  worker.join();
  EXPECT_FALSE(d->Plugged());
  std::uint8_t id[5];
  EXPECT_FALSE(cmd_bGetFlashIdByDrive('E', id));
}
