// SHA-256 through OpenSSL's EVP interface (the native build).
#include <openssl/evp.h>

#include <new>

#include "update/sha256.h"

namespace pw {

struct Sha256::State {
  EVP_MD_CTX* context = nullptr;
  bool failed = false;
  ~State() { EVP_MD_CTX_free(context); }
};

Sha256::Sha256() noexcept : state_(new (std::nothrow) State) {
  if (!state_) return;
  state_->context = EVP_MD_CTX_new();
  state_->failed = !state_->context || EVP_DigestInit_ex(state_->context, EVP_sha256(), nullptr) != 1;
}

Sha256::~Sha256() = default;

void Sha256::add(const std::uint8_t* data, std::size_t size) noexcept {
  if (!state_ || state_->failed || size == 0) return;
  state_->failed = EVP_DigestUpdate(state_->context, data, size) != 1;
}

std::optional<Digest> Sha256::finish() noexcept {
  if (!state_ || state_->failed) return std::nullopt;
  Digest digest;
  unsigned int size = 0;
  state_->failed = true;  // spent
  if (EVP_DigestFinal_ex(state_->context, digest.data(), &size) != 1 || size != digest.size()) return std::nullopt;
  return digest;
}

}  // namespace pw
