// Files the station writes for the operator (settings, file lists) are
// replaced whole or not at all: the new content goes to a temporary file
// beside the target, which is renamed over the target only when every write
// succeeded. A failed save leaves the old file as it was.
#pragma once

#include <string>

namespace console {

class FileReplacement {
 public:
  // Prepares the temporary file for `target`. With `startFromCurrent` the
  // temporary file starts as a copy of the target (when it exists), so that
  // key-by-key updates keep the target's other content and order.
  // Ok() is false when the temporary file cannot be made.
  FileReplacement(std::string target, bool startFromCurrent);
  ~FileReplacement();  // removes the temporary file unless committed
  FileReplacement(const FileReplacement&) = delete;
  FileReplacement& operator=(const FileReplacement&) = delete;

  bool Ok() const { return ok_; }
  const std::string& TempPath() const { return temp_; }
  const std::string& Target() const { return target_; }

  // Renames the temporary file over the target; false when that fails (the
  // target then keeps its old content).
  bool Commit();

 private:
  std::string target_;
  std::string temp_;
  bool ok_ = false;
  bool committed_ = false;
};

}  // namespace console
