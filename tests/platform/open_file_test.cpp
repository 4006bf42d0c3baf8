// Opens of what should be a plain file: a FIFO, a folder or a missing name is
// refused at once, never waited on; a regular file opens for what was asked.
#include "platform/files/open_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "support/temp_dir.h"

namespace {

TEST(OpenRegularFile, RefusesAtOnceWhatIsNoRegularFile) {
  testing_support::TempDir dir("openfile");
  std::ofstream(dir / "file") << "bytes";
  ASSERT_EQ(::mkdir((dir / "folder").c_str(), 0700), 0);
  ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);  // nobody reads or writes it
  struct Case {
    const char* name;
    const char* mode;
    int error;  // 0: opens
  } cases[] = {{"file", "rb", 0},         {"new", "wb", 0},        {"missing", "rb", ENOENT}, {"folder", "rb", EISDIR},
               {"pipe", "rb", EINVAL},    {"pipe", "wb", ENXIO},   {"file", "x", EINVAL}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + c.mode);
    errno = 0;
    std::FILE* f = platform::OpenRegularStream(dir / c.name, c.mode);
    EXPECT_EQ(f != nullptr, c.error == 0);
    if (f) {
      EXPECT_EQ(std::fgetc(f), c.mode[0] == 'r' ? 'b' : EOF) << "blocking reads, from the start";
      std::fclose(f);
    } else {
      EXPECT_EQ(errno, c.error);
    }
  }
}

}  // namespace
