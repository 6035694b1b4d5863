#pragma once
// SHA-256 from the platform: CNG on Windows, OpenSSL's libcrypto elsewhere.
// Update files, the stream the device receives, the folder's list and key
// fingerprints are hashed with it.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "update/hex.h"

namespace pw {

using Digest = std::array<std::uint8_t, 32>;

class Sha256 {
 public:
  Sha256() noexcept;
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void add(const std::uint8_t* data, std::size_t size) noexcept;
  // The digest; empty when the platform failed at any step (never a wrong one).
  // The object is spent afterwards.
  std::optional<Digest> finish() noexcept;
  // Lower-case hex of finish(); empty on failure.
  std::string hex();

 private:
  struct State;  // the platform's hash object
  std::unique_ptr<State> state_;
};

inline std::string to_hex(const Digest& digest) { return to_hex(digest.data(), digest.size()); }

inline std::string Sha256::hex() {
  const std::optional<Digest> digest = finish();
  return digest ? to_hex(*digest) : std::string();
}

inline std::optional<Digest> sha256_of(const std::uint8_t* data, std::size_t size) noexcept {
  Sha256 hash;
  hash.add(data, size);
  return hash.finish();
}

}  // namespace pw
