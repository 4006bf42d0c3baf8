// The drive service on a damaged disk: the input is a FAT volume as a cut (1
// byte), its length in 512-byte sectors (4 bytes, little-endian; at most
// 1 GiB) and records of a sector number (4 bytes) and the sector's bytes. A
// cut of n > 0 ends the disk where the sector of the n-th record (counted
// round) begins; a record past the end is dropped; so a boot sector may
// claim more than the disk holds.
// The label and the free space are read, then a folder is made (in "music",
// which the seeds hold) and a file copied into it.
// What must hold: nothing is written past the end of the disk, and a copy
// that reports success left its folder on the volume.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "fuzz/fuzz_support.h"
#include "platform/drive/drive.h"
#include "platform/volumes/volumes.h"

namespace {

std::uint64_t FileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string disk = fuzz::Home() + "disk.img", source = fuzz::Home() + "song.mp3";
  static const bool ready = [&] {
    fuzz::WriteFile(source, std::string(3000, 'm'));
    return platform::Volumes().Mount('F', nullptr, disk);
  }();
  FUZZ_REQUIRE(ready);
  fuzz::Input input(data, size);
  const std::uint8_t cut = input.Byte();
  std::uint32_t sectors = std::min<std::uint32_t>(input.Le32(), 1u << 21);
  std::vector<std::pair<std::uint32_t, std::string>> records;
  while (!input.Empty()) {
    const std::uint32_t lba = input.Le32();
    records.emplace_back(lba, input.Bytes(512));
  }
  if (cut && !records.empty()) sectors = std::min(sectors, records[(cut - 1) % records.size()].first);
  std::remove(disk.c_str());
  fuzz::WriteFile(disk, "");
  FUZZ_REQUIRE(::truncate(disk.c_str(), off_t{sectors} * 512) == 0);
  std::FILE* f = std::fopen(disk.c_str(), "r+b");
  for (const auto& [lba, bytes] : records)
    if (lba < sectors && std::fseek(f, static_cast<long>(lba) * 512, SEEK_SET) == 0)
      std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
  const std::uint64_t length = FileSize(disk);

  char label[255] = {};
  platform::GetVolumeInformationA("F:\\", label, sizeof label, nullptr, nullptr, nullptr, nullptr, 0);
  platform::DWORD perCluster = 0, perSector = 0, free = 0, total = 0;
  platform::GetDiskFreeSpaceA("F:\\", &perCluster, &perSector, &free, &total);
  platform::DriveSession session;
  if (session.Open('F')) {
    const bool made = session.MakeFolder("music/new") && session.CopyFile(source, "music/new/song.mp3", false);
    if (session.Close() && made) FUZZ_REQUIRE(session.Open('F') && session.FolderExists("music/new"));
    session.Close();
  }
  FUZZ_REQUIRE(FileSize(disk) == length);
  return 0;
}
