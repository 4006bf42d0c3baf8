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
  char given = 0;
  {
    std::lock_guard lock(mutex_);
    for (char letter = Normalise(first) ? Normalise(first) : 'A'; letter <= 'Z' && !given; ++letter) {
      if (!volumes_.contains(letter)) {
        volumes_[letter] = Volume{std::move(target), std::move(node)};
        given = letter;
      }
    }
  }
  if (given) Notify(VolumeEvent::Arrival, given);
  return given;
}

bool VolumeTable::Mount(char letter, std::shared_ptr<ScsiTarget> target, std::string node) {
  letter = Normalise(letter);
  {
    std::lock_guard lock(mutex_);
    if (!letter || volumes_.contains(letter)) return false;
    volumes_[letter] = Volume{std::move(target), std::move(node)};
  }
  Notify(VolumeEvent::Arrival, letter);
  return true;
}

void VolumeTable::Unmount(char letter) {
  letter = Normalise(letter);
  bool removed = false;
  {
    std::lock_guard lock(mutex_);
    removed = volumes_.erase(letter) == 1;
  }
  if (removed) Notify(VolumeEvent::Removal, letter);
}

int VolumeTable::Watch(VolumeWatcher watcher) {
  std::lock_guard lock(watchMutex_);
  watchers_[++nextWatch_] = std::move(watcher);
  return nextWatch_;
}

void VolumeTable::Unwatch(int id) {
  std::lock_guard lock(watchMutex_);
  watchers_.erase(id);
}

void VolumeTable::Notify(VolumeEvent event, char letter) {
  std::lock_guard lock(watchMutex_);
  const auto watchers = watchers_;  // a watcher may watch or unwatch while it runs
  for (const auto& [id, watcher] : watchers) watcher(event, letter);
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
