#pragma once
// Bytes as hex digits and back, as digests are written in lists and records. Pure.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace pw {

// Lower-case hex of `size` bytes.
std::string to_hex(const std::uint8_t* data, std::size_t size);

// Fills out[0..size) from exactly 2 * size hex digits of either case; false for
// any other text (out may then hold anything).
bool parse_hex(std::string_view hex, std::uint8_t* out, std::size_t size) noexcept;

}  // namespace pw
