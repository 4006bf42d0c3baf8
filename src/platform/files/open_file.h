// Opening what the station expects to be a plain file, without ever waiting.
// An ordinary open of a FIFO that nobody writes (or reads) blocks its caller
// for ever; these opens never block, and whatever is not a regular file
// (FIFO, socket, device node, folder) is refused at once.
#pragma once

#include <cstdio>
#include <string>

namespace platform {

// open(2) of `path` with `flags` (O_RDONLY, O_RDWR, O_WRONLY | O_CREAT |
// O_TRUNC ...), kept only when it is a regular file: the descriptor
// (close-on-exec, blocking again for its reads and writes), or -1 with errno
// set (EINVAL for something that is no regular file, EISDIR for a folder).
int OpenRegularFile(const std::string& path, int flags, unsigned mode = 0666);

// The same as a stdio stream, with fopen's modes ("rb", "r+b", "wb", "ab");
// nullptr when refused.
std::FILE* OpenRegularStream(const std::string& path, const char* mode);

}  // namespace platform
