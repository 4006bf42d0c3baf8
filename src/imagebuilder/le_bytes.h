// Little-endian fields of on-disk FAT structures.
#pragma once

#include <cstdint>

namespace imagebuilder {

inline void Put16(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void Put32(std::uint8_t* p, std::uint32_t v) {
  Put16(p, v);
  Put16(p + 2, v >> 16);
}
inline std::uint32_t Get16(const std::uint8_t* p) { return p[0] | (std::uint32_t{p[1]} << 8); }
inline std::uint32_t Get32(const std::uint8_t* p) { return Get16(p) | (Get16(p + 2) << 16); }

}  // namespace imagebuilder
