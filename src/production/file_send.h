// Sending a file to the controller in pieces of at most 2048 bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace production {

inline constexpr std::uint32_t kPieceSize = 2048;

// Opens `path` read-only and, until the end-of-file indication, reads up to
// 2048 bytes and hands exactly the bytes read to `send`. A file whose size is
// a multiple of 2048 (also an empty one) therefore ends with a piece of 0
// bytes. False when the file cannot be opened or read or a send fails; the
// file is closed on every road.
bool SendFileInPieces(const std::string& path, const std::function<bool(std::uint8_t*, std::uint32_t)>& send);

// The size of a file in bytes; nothing when it cannot be opened.
std::optional<std::uint64_t> FileSize(const std::string& path);

}  // namespace production
