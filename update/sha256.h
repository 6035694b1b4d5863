#pragma once
// SHA-256 of update files and of the stream the device receives (camtool verify).
#include <cstddef>
#include <cstdint>
#include <string>

namespace pw {

class Sha256 {
 public:
  Sha256() noexcept;
  void add(const std::uint8_t* data, std::size_t size) noexcept;
  // Lower-case hex of the digest; the object is spent afterwards.
  std::string hex() noexcept;

 private:
  void block(const std::uint8_t* p) noexcept;
  std::uint32_t state_[8];
  std::uint8_t pending_[64];
  std::size_t pending_size_ = 0;
  std::uint64_t total_ = 0;
};

}  // namespace pw
