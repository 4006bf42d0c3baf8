#include "platform/volumes/volumes.h"

#include <cctype>

namespace platform {

namespace {
char Normalise(char letter) {
  const auto upper = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
  return (upper >= 'A' && upper <= 'Z') ? upper : 0;
}
}  // namespace

char VolumeTable::Assign(std::shared_ptr<ScsiTarget> target, std::string node, char first) {
  std::lock_guard lock(mutex_);
  for (char letter = Normalise(first) ? Normalise(first) : 'A'; letter <= 'Z'; ++letter) {
    if (!volumes_.contains(letter)) {
      volumes_[letter] = Volume{std::move(target), std::move(node)};
      return letter;
    }
  }
  return 0;
}

bool VolumeTable::Mount(char letter, std::shared_ptr<ScsiTarget> target, std::string node) {
  letter = Normalise(letter);
  std::lock_guard lock(mutex_);
  if (!letter || volumes_.contains(letter)) return false;
  volumes_[letter] = Volume{std::move(target), std::move(node)};
  return true;
}

void VolumeTable::Unmount(char letter) {
  std::lock_guard lock(mutex_);
  volumes_.erase(Normalise(letter));
}

bool VolumeTable::SetNode(char letter, std::string node) {
  std::lock_guard lock(mutex_);
  auto it = volumes_.find(Normalise(letter));
  if (it == volumes_.end()) return false;
  it->second.node = std::move(node);
  return true;
}

std::optional<Volume> VolumeTable::Lookup(char letter) const {
  std::lock_guard lock(mutex_);
  auto it = volumes_.find(Normalise(letter));
  if (it == volumes_.end()) return std::nullopt;
  return it->second;
}

void VolumeTable::Clear() {
  std::lock_guard lock(mutex_);
  volumes_.clear();
}

VolumeTable& Volumes() {
  static VolumeTable table;
  return table;
}

char DriveLetterOfVolumePath(const std::string& path) {
  // Exactly: backslash, backslash, point, backslash, letter, colon.
  if (path.size() != 6 || path.compare(0, 4, "\\\\.\\") != 0 || path[5] != ':') return 0;
  return Normalise(path[4]);
}

}  // namespace platform
