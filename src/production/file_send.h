// Sending a file to the controller in pieces, and the log line of a piece
// the device refused.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>

#include "device/commands.h"

namespace production {

inline constexpr std::uint32_t kPieceSize = 2048;

using PieceSender = std::function<bool(std::uint8_t*, std::uint32_t)>;

// Opens `path` read-only and, until the end-of-file indication, reads up to
// 2048 bytes and hands exactly the bytes read to `send`. A file whose size is
// a multiple of 2048 (also an empty one) therefore ends with a piece of 0
// bytes. False when the file cannot be opened or read or a send fails; the
// file is closed on every road.
bool SendFileInPieces(const std::string& path, const PieceSender& send);
// The same loop over an open stream, in pieces of up to `pieceSize` bytes,
// from where the stream stands; the stream stays open.
bool SendStreamInPieces(std::FILE* stream, std::uint32_t pieceSize, const PieceSender& send);

// Sends data the device is to keep with `send` (a command that fills the
// refusal it is given). When the device refused it, the log gets a line under
// the device's letter naming `what` and the device's answer with its sense
// key, so whoever looks into the failure sees why. Returns whether it was taken.
bool SendKept(device::HANDLE h, const char* what, const std::function<device::BOOL(device::Refusal*)>& send);

// The size of a file in bytes; nothing when it cannot be opened.
std::optional<std::uint64_t> FileSize(const std::string& path);

}  // namespace production
