// The single-instance guard: a lock file named by a text (the window title the
// system uses as the guard's name), held with flock while the owner lives.
// The lock goes with the open file, so a holder that dies frees it, and every
// InstanceLock object, in this process or another, sees a lock held by any
// other object. A lock file that cannot be opened for writing (another
// account's file in a shared folder) is locked through a read-only opening.
#pragma once

#include <mutex>
#include <string>

namespace platform {

// The folder of the lock files. Empty (the start value) means $XDG_RUNTIME_DIR
// when it names a folder, else /tmp. Created when missing.
void SetInstanceLockFolder(const std::string& folder);
std::string InstanceLockFolder();

// The lock file's name for a guard name: letters, digits, '.', '-' and '_'
// are kept, every other byte becomes '_' and a leading '.' becomes '_'; when
// anything was changed a hash of the whole name is added so that different
// names keep different files. Ends in ".lock".
std::string InstanceLockFileName(const std::string& name);

enum class InstanceLockState {
  Acquired,       // this object holds the lock
  HeldByAnother,  // another holder, in this process or another, has it
  Unavailable,    // the lock file cannot be created or opened
};

class InstanceLock {
 public:
  explicit InstanceLock(std::string name);
  ~InstanceLock();  // releases
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // True when this object holds the lock now (also when it already did);
  // false when another holder has it or the lock file cannot be opened.
  bool Acquire();
  // The same, telling apart a lock held elsewhere from one that cannot be had.
  InstanceLockState TryAcquire();
  void Release();
  bool Held() const;
  // The holder's note (the station writes its program folder), kept in the
  // lock file with the holder's process id. False when this object does not
  // hold the lock or the file cannot be written (it was opened read-only).
  bool WriteNote(const std::string& note);
  // The note of the process that holds the lock now: "" when there is none,
  // or when the file names a process that has ended (a note left by an
  // earlier holder that could not replace it).
  std::string HolderNote() const;
  const std::string& Name() const { return name_; }
  std::string Path() const;

 private:
  std::string name_;
  mutable std::mutex mutex_;
  int fd_ = -1;
};

}  // namespace platform
