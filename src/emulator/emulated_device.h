// A software model of one controller and its flash, answering the vendor
// command set and the standard commands the station sends, and refusing what
// the device refuses.
//
//   auto dev = emulator::EmulatedDevice::Create(emulator::profiles::Standard(), folder);
//   char letter = dev->Plug('E');      // arrival: CreateFileA("\\.\E:") reaches it
//   ...device::cmd_... on a handle...
//   dev->Unplug();                     // removal: the letter is gone, every call fails
//
// The device outlives its plug cycles: flash contents, the stored configuration
// block, SPI flash and the disk image files persist; the controller's working
// state (FSM, flash table, page table, downloads, visible disk) starts afresh at
// every plug. Each plug makes a new EmulatedTarget; a handle opened during an
// earlier plug stays dead. The model is safe to call from several threads.
//
// The bus. Plugging binds the letter in platform::Volumes() and unplugging
// unbinds it; the volume table's watchers hear both (VolumeEvent::Arrival,
// VolumeEvent::Removal), as the station hears volumes come and go.
// RESET (EF 81) re-enumerates the device: it answers, then leaves the bus (the
// letter goes away with a removal, every handle opened before dies, OnReset's
// handler runs), and after the profile's reenumerationMs (times the platform's
// time scale; at once at scale 0, on a thread of the device) it arrives again
// in its normal mode (chipModelAfterReset), at the same letter when that is
// still free, else at the first free one. AwaitReenumeration() waits for the
// re-arrival; Plug, Unplug and destruction cancel a pending one.
//
// The order of a run, as the device enforces it:
//  - The FSM (EF 77 start with the size, EE 78 pieces, EF 79 16-bit byte sum)
//    is loaded when the bytes received equal the announced size and their sum
//    the one sent; it is lost at every power-up (plug, reset). Until it is
//    loaded the commands that reach the flash fail, in the convention their
//    wrapper reads: the status commands (EF 73 START DISK, EF 7A, EF 7C, EF 93,
//    EF 94, the 16-byte EE 95) answer status 0; the others (EF 80 READ CFG,
//    EE 7B, EE 95, EF 96, EF 97 FSM INIT, EF 98, EE 9B) fail the call. Identity
//    queries, the flash table (EE 71), settings bytes, SPI access and the
//    standard commands need no FSM.
//  - Image downloads (EF 7A setup announcing the size, EE 7B pieces, EF 7C end)
//    pass at the end when at least the announced bytes arrived since the setup
//    (more are kept, fewer fail the end and the image is dropped; an end with no
//    setup fails). The first image of a power-up is the program.
//  - The firmware parity check (EF 87) passes only once a program image of
//    non-zero length arrived whole.
//  - START DISK (EF 73) fails before the FSM and before the program image; on an
//    SPI-only device it then passes and shows no disk.
//  - There is no disk before START DISK: READ CAPACITY and READ/WRITE(10) are
//    refused, and the letter's node (the user disk image file) has no size yet.
//    START DISK sizes and shows the user disk (or the hidden one when it takes
//    everything); CHANGE TO HIDDEN DISK (EF 92) shows the hidden disk; START
//    STOP UNIT stop hides the disk, start shows the started one again.
//
// Bad blocks. The device's own bad-block map (EF 98, BadBlockMap()) is the
// factory bad blocks and the grown ones (blocks whose erase or program failed
// for good: FailMode Permanent or AfterOperations, or GrowBadBlock), one bit
// per block, set = good; it changes as blocks grow bad. The good-block bitmap
// in the configuration block is the station's own view, written after the
// block (below); START DISK sizes the disks from that bitmap, not from the
// device's map (a block the station called good counts, a block it left out
// does not); the device's map counts only when the stored block carries no
// bitmap.
//
// How the model answers:
//  - Status bytes are kStatusOk / kStatusFailed. A command the model refuses
//    (unknown opcode, READ CAPACITY or READ/WRITE(10) with no disk shown or past
//    its end, SPI access past the flash, a data phase whose length is not what
//    the CDB announces) is a CHECK CONDITION: carried out, no data moved,
//    nothing written or read, SCSI status 02 in the request's status and
//    fixed-format sense data in its sense area (NOT READY / MEDIUM NOT PRESENT
//    without a disk; ILLEGAL REQUEST with INVALID COMMAND OPERATION CODE, LBA
//    OUT OF RANGE or INVALID FIELD IN CDB otherwise). A page write or read past
//    the flash, or a page write to a failing or bad block, is a failed call.
//  - The data phase must match the CDB exactly: READ/WRITE(10) blocks x block
//    length, page writes and reads pages x page size, SPI units x 256, the
//    bad-block map read the length in its CDB.
//  - Block ranges never wrap and never run past the flash: a block test or an
//    erase of such a range answers status 0 and touches nothing.
//  - Flash table (EE 71): the first piece of a run of table pieces is the table;
//    a sound one selects page size, pages per block, blocks per chip and ECC mode.
//  - Block test (EF 93): block form answers 255 when erase and program succeed and
//    every page of the page table (EE 9B) stays within the CDB's ECC threshold,
//    else one of the kTest... codes; page form answers 255 - errors per page, 0
//    for an uncorrectable page or a bad block. The test leaves the block erased.
//  - Page writes and reads (EE/EF 95/96) address pages: block x pages per block + page.
//  - READ CFG (EF 80) answers the lowest written page of the good block written
//    last (the station's newest copy, wherever a failed erase moved it; 512 x FF
//    on a blank flash); the pages written after it in that block hold the
//    good-block bitmap.
//  - START DISK (EF 73) sizes the disks from that block: good blocks (its bitmap,
//    else the device's own map) x usable pages (byte 132 and the page bitmap) x
//    page size, less byte 133 x 4 MiB and two blocks for the configuration
//    copies; byte 134 = s gives the hidden disk s/256 of it (0xFF: all of it,
//    shown at once). Block length: the profile's, else 512 or 1024 by bit 0 of
//    byte 64. It fails when no block is held or nothing is left for a disk.
//  - On an SPI-only device the first image's bytes 0-2047 go to 0 and its bytes
//    from 2048 to 65536; each later image's bytes from 2048 to the next 64 KiB
//    boundary after room for the one before (the prefer image at program size
//    rounded up to 64 KiB, plus 64 KiB).
//
// Faults (InjectFault): by opcode and/or vendor sub-opcode, optionally only for
// requests whose block, page, SPI unit or LBA range covers an address, on the
// n-th matching call and the k after it (or always), answered as a failed call,
// an even status byte or a CHECK CONDITION (with the fault's sense). Block failures (AddBlockFailure),
// scripted block-test answers (AddBlockTestOverride) and grown bad blocks
// (GrowBadBlock) model the flash itself. Trace() keeps every request with its
// CDB, direction, length, data digest and outcome.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "emulator/profile.h"
#include "platform/scsi/scsi.h"

namespace emulator {

// ---- faults ----

// What a device says about a refusal: sense key, additional sense code and qualifier.
struct Sense {
  std::uint8_t key = 0;
  std::uint8_t asc = 0;
  std::uint8_t ascq = 0;
};

enum class FaultKind {
  FailCall,        // the call is not carried out
  EvenStatus,      // carried out, nothing done, answer byte 0 := 'status' (even)
  CheckCondition,  // carried out, nothing done, no data moved; 'sense' in the sense data
};

// Makes matching requests fail. A request matches when its opcode (CDB byte 0)
// and/or vendor sub-opcode (CDB byte 1 after EF/EE) are as given and, when
// 'address' is set, the range it addresses (block, page, SPI unit or LBA, from
// its CDB) covers that address. Matching calls are counted from the fault's
// injection; the fault fires on calls nth .. nth + times - 1 (times 0: forever).
struct Fault {
  std::optional<std::uint8_t> opcode;
  std::optional<std::uint8_t> subOpcode;
  std::optional<std::uint32_t> address;
  std::uint32_t nth = 1;
  std::uint32_t times = 1;
  FaultKind kind = FaultKind::FailCall;
  std::uint8_t status = 0x02;
  Sense sense{0x03, 0x0C, 0x00};  // MEDIUM ERROR, WRITE ERROR

  static Fault Vendor(std::uint8_t sub) { Fault f; f.subOpcode = sub; return f; }
  static Fault Opcode(std::uint8_t op) { Fault f; f.opcode = op; return f; }
  Fault& At(std::uint32_t a) { address = a; return *this; }
  Fault& OnCall(std::uint32_t n) { nth = n; return *this; }
  Fault& Times(std::uint32_t k) { times = k; return *this; }
  Fault& Always() { times = 0; return *this; }
  Fault& AsEvenStatus(std::uint8_t s = 0x02) { kind = FaultKind::EvenStatus; status = s; return *this; }
  Fault& AsCheckCondition() { kind = FaultKind::CheckCondition; return *this; }
  Fault& AsCheckCondition(Sense s) { kind = FaultKind::CheckCondition; sense = s; return *this; }
};

// ---- what the device saw ----

struct TraceEntry {
  std::array<std::uint8_t, 16> cdb{};
  std::uint8_t cdbLength = 0;
  platform::ScsiDirection direction = platform::ScsiDirection::None;
  std::uint32_t length = 0;
  std::uint64_t digest = 0;     // FNV-1a of the bytes moved (sent for Out, answered for In)
  bool carriedOut = false;
  bool checkCondition = false;  // carried out, but the device refused it (no data)
  Sense sense;                  // what it said about a refusal
  bool faulted = false;         // an injected fault decided the answer
  std::uint8_t status = 0;      // answer byte 0 (In requests)

  std::uint8_t Op() const { return cdb[0]; }
  std::uint8_t Sub() const { return cdb[1]; }
  bool IsVendor(std::uint8_t sub) const { return (cdb[0] == 0xEF || cdb[0] == 0xEE) && cdb[1] == sub; }
};

struct BlockTestRecord {
  std::uint32_t block = 0;
  std::uint32_t count = 0;
  std::uint16_t seed = 0;
  std::uint8_t modeA = 0, modeB = 0, setting = 0, eccThreshold = 0;
  bool perPage = false;
  std::uint32_t nth = 0;  // n-th test of this block
  std::uint8_t result = 0;  // block form answer (page form: 255 when every page was clean)
};

struct DownloadedImage {
  std::uint32_t announced = 0;
  Bytes bytes;
};

enum class Disk { None, User, Hidden };

struct DiskLayout {
  std::uint32_t blockLength = 512;
  std::uint64_t userSectors = 0;
  std::uint64_t hiddenSectors = 0;
};

class EmulatedDevice;
namespace detail {
struct DeviceState;
}

// The ScsiTarget of one plug cycle.
class EmulatedTarget : public platform::ScsiTarget {
 public:
  EmulatedTarget(std::weak_ptr<EmulatedDevice> device, std::uint64_t generation)
      : device_(std::move(device)), generation_(generation) {}
  bool Execute(const platform::ScsiRequest& request) override;

 private:
  std::weak_ptr<EmulatedDevice> device_;
  std::uint64_t generation_;
};

class EmulatedDevice : public std::enable_shared_from_this<EmulatedDevice> {
 public:
  // Builds a device; 'folder' (created when missing) holds its disk image files.
  // Throws std::invalid_argument for a profile whose geometry is not sound.
  static std::shared_ptr<EmulatedDevice> Create(DeviceProfile profile, std::filesystem::path folder);
  ~EmulatedDevice();
  EmulatedDevice(const EmulatedDevice&) = delete;
  EmulatedDevice& operator=(const EmulatedDevice&) = delete;

  // ---- plugging ----
  // Powers the device up and mounts it at 'letter' (0: the first free letter
  // from D). Returns the letter, or 0 when it could not be mounted.
  char Plug(char letter = 0);
  // Removal: unmounts the letter; every call through this plug's target fails.
  void Unplug();
  bool Plugged() const;
  char Letter() const;
  // This plug's target (nullptr while unplugged): for OpenTargetHandle.
  std::shared_ptr<platform::ScsiTarget> Target() const;
  // Called (outside the device's lock) after each RESET command, once the
  // device has left the bus and before its re-arrival is scheduled.
  void OnReset(std::function<void(EmulatedDevice&)> handler);
  // Waits until the re-arrival that a RESET scheduled has happened (at once
  // at time scale 0); returns whether the device is plugged.
  bool AwaitReenumeration();

  // ---- faults ----
  void InjectFault(const Fault& fault);
  void ClearFaults();
  void AddBlockFailure(const BlockFailure& failure);
  void AddBlockTestOverride(const BlockTestOverride& o);
  void GrowBadBlock(std::uint32_t block);

  // ---- what it saw ----
  // The trace and the block-test records keep the latest 2^20 entries each.
  std::vector<TraceEntry> Trace() const;
  void ClearTrace();  // also clears the block-test records
  // Requests with CDB byte 0 'op' (and vendor sub-opcode 'sub' when given).
  std::size_t CountRequests(std::uint8_t op, std::optional<std::uint8_t> sub = std::nullopt) const;
  std::size_t CountVendor(std::uint8_t sub) const;
  std::vector<BlockTestRecord> BlockTests() const;
  std::uint32_t ResetCount() const;

  // ---- its state ----
  const DeviceProfile& Profile() const { return profile_; }
  bool FsmLoaded() const;
  Bytes FsmBytes() const;
  std::optional<Bytes> FlashTable() const;   // the table uploaded in this plug cycle
  Geometry ActiveGeometry() const;           // the profile's, or the uploaded table's
  Bytes PageTable() const;                   // one byte per page, 0xFF = in the set
  Bytes StoredConfig() const;                // what READ CFG answers
  Bytes BadBlockMap() const;                 // the device's own map, one bit per block
  bool IsBadBlock(std::uint32_t block) const;
  std::optional<Bytes> Page(std::uint32_t block, std::uint32_t page) const;  // written page data
  std::vector<DownloadedImage> Images() const;  // completed downloads of this plug cycle
  std::optional<std::uint8_t> SysAreaUnit() const;
  std::optional<std::uint8_t> ModuleNumber() const;
  std::map<std::uint8_t, std::uint8_t> SettingBytes() const;  // sub-opcode 8E/8F/91 -> value
  Bytes SpiRead(std::uint32_t offset, std::uint32_t length) const;
  Disk VisibleDisk() const;
  std::optional<DiskLayout> Layout() const;  // set by START DISK
  std::filesystem::path UserDiskPath() const;
  std::filesystem::path HiddenDiskPath() const;
  std::filesystem::path VisibleDiskPath() const;  // the node the volume table shows

 private:
  friend class EmulatedTarget;
  EmulatedDevice(DeviceProfile profile, std::filesystem::path folder);
  bool Execute(std::uint64_t generation, const platform::ScsiRequest& request);
  char Attach(char letter, bool anyLetter);
  char Detach(std::optional<std::uint64_t> generation);
  void Reenumerate(std::uint64_t generation);
  void CancelReenumeration();

  DeviceProfile profile_;
  std::unique_ptr<detail::DeviceState> impl_;
};

}  // namespace emulator
