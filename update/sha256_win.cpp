// SHA-256 through a CNG hash object (Windows 7 on: the caller gives the object's
// memory, and no pseudo-handle or one-call hash is used).
#include <windows.h>

#include <new>

#include "update/sha256.h"
#include "win/cng.h"

namespace pw {

struct Sha256::State {
  // Declared before the handle, so the handle is destroyed first.
  std::unique_ptr<UCHAR[]> object;
  UniqueCngHash hash;
  bool failed = false;
};

Sha256::Sha256() noexcept {
  const Cng* api = cng();
  DWORD object_size = 0, got = 0;
  if (!api || api->get_property(api->sha256, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&object_size),
                                sizeof object_size, &got, 0) != 0)
    return;
  std::unique_ptr<State> state(new (std::nothrow) State);
  if (!state) return;
  state->object.reset(new (std::nothrow) UCHAR[object_size]);
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (!state->object || api->create_hash(api->sha256, &hash, state->object.get(), object_size, nullptr, 0, 0) != 0)
    return;
  state->hash.reset(hash);
  state_ = std::move(state);
}

Sha256::~Sha256() = default;

void Sha256::add(const std::uint8_t* data, std::size_t size) noexcept {
  if (!state_ || state_->failed) return;
  while (size > 0 && !state_->failed) {  // ULONG at a time
    const ULONG part = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
    state_->failed = cng()->hash_data(state_->hash.get(), const_cast<PUCHAR>(data), part, 0) != 0;
    data += part;
    size -= part;
  }
}

std::optional<Digest> Sha256::finish() noexcept {
  if (!state_ || state_->failed) return std::nullopt;
  state_->failed = true;  // spent
  Digest digest;
  if (cng()->finish_hash(state_->hash.get(), digest.data(), static_cast<ULONG>(digest.size()), 0) != 0)
    return std::nullopt;
  return digest;
}

}  // namespace pw
