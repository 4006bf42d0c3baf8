// Host trees made from a seed, for property tests of the FAT writers: names
// in every form a volume stores differently (exact 8.3 names in either case,
// long names at the 13-character slot boundaries, names that share their
// short-name stem, several dots, non-ASCII text), sizes around the cluster
// size, folders a few levels deep and one folder with more entries than a
// cluster of entries holds. No two names of one folder are equal without
// regard to case, so every file must come back as it was.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace testing_support {

struct RandomTree {
  std::map<std::string, std::string> files;  // relative path ('/') -> bytes
  std::vector<std::string> folders;          // relative paths, parents first
};

class RandomTreeMaker {
 public:
  RandomTreeMaker(unsigned seed, std::uint32_t clusterBytes) : rng_(seed), clusterBytes_(clusterBytes) {}

  // Makes the tree below `root` (which must not exist yet) and returns it.
  RandomTree Make(const std::filesystem::path& root) {
    RandomTree tree;
    std::filesystem::create_directories(root);
    Fill(root, "", 0, tree);
    return tree;
  }

  // Bytes of a size chosen around the cluster size (0 and 1 included).
  std::string Content() {
    const std::uint32_t c = clusterBytes_;
    const std::uint32_t sizes[] = {0, 1, 511, 512, c - 1, c, c + 1, 2 * c + 3, 3 * c - 1};
    std::size_t size = sizes[Pick(std::size(sizes))];
    if (Pick(4) == 0) size = Pick(4 * c);
    std::string bytes(size, '\0');
    for (char& b : bytes) b = static_cast<char>(rng_());
    return bytes;
  }

 private:
  std::size_t Pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }

  std::string Name() {
    static const char* const kStems[] = {"README",       "song",           "Track 01",        "a.b.c",
                                         "Mixed Case Name", "exactly13chr", "fourteen chars", "twenty-six characters long",
                                         "Same prefix file", "\u00dcn\u00efc\u00f6d\u00e9", "\u97f3\u4e50",
                                         "UPPER",        "x",              "name with  blanks", "$%'-_@~`!(){}^#&"};
    static const char* const kExtensions[] = {"", ".TXT", ".mp3", ".Mp3", ".jpeg", ".d"};
    std::string name = kStems[Pick(std::size(kStems))];
    if (Pick(2) == 0) name.append(" ").append(std::to_string(Pick(100)));
    return name + kExtensions[Pick(std::size(kExtensions))];
  }

  // A name not yet used in the folder, letter case aside.
  std::string FreshName(std::set<std::string>& used) {
    for (;;) {
      std::string name = Name();
      std::string key = name;
      for (char& ch : key)
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
      if (used.insert(key).second) return name;
    }
  }

  void Fill(const std::filesystem::path& host, const std::string& rel, int depth, RandomTree& tree) {
    std::set<std::string> used;
    const bool crowded = depth == 1 && !crowdedMade_;
    crowdedMade_ = crowdedMade_ || crowded;
    const std::size_t files = crowded ? 60 : Pick(7);
    for (std::size_t i = 0; i < files; ++i) {
      const std::string name = FreshName(used);
      const std::string bytes = Content();
      std::ofstream(host / name, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
      tree.files[rel + name] = bytes;
    }
    const std::size_t folders = depth >= 3 ? 0 : depth == 0 ? 2 + Pick(2) : Pick(3);
    for (std::size_t i = 0; i < folders; ++i) {
      const std::string name = FreshName(used);
      std::filesystem::create_directory(host / name);
      tree.folders.push_back(rel + name);
      Fill(host / name, rel + name + "/", depth + 1, tree);
    }
  }

  std::mt19937 rng_;
  std::uint32_t clusterBytes_;
  bool crowdedMade_ = false;
};

}  // namespace testing_support
