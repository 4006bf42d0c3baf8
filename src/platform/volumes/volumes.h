// The drive-letter table: which device answers behind "\\.\X:" and which block
// node or image file holds the disk that device now shows.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/scsi/scsi.h"

namespace platform {

struct Volume {
  std::shared_ptr<ScsiTarget> target;
  std::string node;  // block device node or image file of the visible disk
};

// A letter bound (a volume arrived) or unbound (it went away): what the
// system's device notifications report for volumes.
enum class VolumeEvent { Arrival, Removal };
using VolumeWatcher = std::function<void(VolumeEvent event, char letter)>;

class VolumeTable {
 public:
  // Gives out the first free letter from 'first' on (as the system does at
  // arrival) and binds it; returns 0 when every letter up to Z is taken.
  char Assign(std::shared_ptr<ScsiTarget> target, std::string node, char first = 'D');
  // Binds a given letter; false when the letter is not A-Z or already bound.
  bool Mount(char letter, std::shared_ptr<ScsiTarget> target, std::string node);
  void Unmount(char letter);
  // Points a bound letter at another node (the device switched disks).
  bool SetNode(char letter, std::string node);
  std::optional<Volume> Lookup(char letter) const;
  // Unbinds every letter without telling the watchers (a fresh table for tests).
  void Clear();

  // Watchers hear every arrival (Assign, Mount) and removal (Unmount of a bound
  // letter), in order, on the thread that changed the table, after the table's
  // own lock is released; a watcher notes or queues the event and returns (it
  // must not wait for another thread that changes the table). Unwatch returns
  // once no call to that watcher runs.
  int Watch(VolumeWatcher watcher);
  void Unwatch(int id);

 private:
  void Notify(VolumeEvent event, char letter);

  mutable std::mutex mutex_;
  std::map<char, Volume> volumes_;
  std::recursive_mutex watchMutex_;  // held while watchers run: a watcher may change the table
  std::map<int, VolumeWatcher> watchers_;
  int nextWatch_ = 0;
};

// The process-wide table that CreateFileA consults.
VolumeTable& Volumes();

// "\\.\E:" -> 'E'; 0 when the text is no volume path.
char DriveLetterOfVolumePath(const std::string& path);

}  // namespace platform
