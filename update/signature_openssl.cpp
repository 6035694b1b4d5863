// Keys and signature verification through OpenSSL's libcrypto (the native build).
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <memory>

#include "update/sha256.h"
#include "update/signature.h"

namespace pw {

namespace {

template <class T, void (*Free)(T*)>
struct Freeing {
  void operator()(T* p) const noexcept { Free(p); }
};
using OwnedBio = std::unique_ptr<BIO, Freeing<BIO, BIO_free_all>>;
using OwnedKey = std::unique_ptr<EVP_PKEY, Freeing<EVP_PKEY, EVP_PKEY_free>>;
using OwnedDigestContext = std::unique_ptr<EVP_MD_CTX, Freeing<EVP_MD_CTX, EVP_MD_CTX_free>>;

void free_openssl_memory(unsigned char* p) { OPENSSL_free(p); }
void free_openssl_text(char* p) { OPENSSL_free(p); }
using OwnedBytes = std::unique_ptr<unsigned char, Freeing<unsigned char, free_openssl_memory>>;
using OwnedText = std::unique_ptr<char, Freeing<char, free_openssl_text>>;

bool verifies(const std::vector<std::uint8_t>& spki, const std::uint8_t* message, std::size_t size,
              const std::uint8_t* signature, std::size_t signature_size) {
  const unsigned char* cursor = spki.data();
  OwnedKey key(d2i_PUBKEY(nullptr, &cursor, static_cast<long>(spki.size())));
  OwnedDigestContext context(EVP_MD_CTX_new());
  return key && context && EVP_PKEY_id(key.get()) == EVP_PKEY_EC &&
         EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) == 1 &&
         EVP_DigestVerify(context.get(), signature, signature_size, message, size) == 1;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> der_of_pem_block(const std::string& block) {
  OwnedBio bio(BIO_new_mem_buf(block.data(), static_cast<int>(block.size())));
  char* name = nullptr;
  char* header = nullptr;
  unsigned char* data = nullptr;
  long size = 0;
  if (!bio || PEM_read_bio(bio.get(), &name, &header, &data, &size) != 1) return std::nullopt;
  const OwnedText owned_name(name), owned_header(header);
  const OwnedBytes owned_data(data);
  return std::vector<std::uint8_t>(data, data + size);
}

std::optional<std::size_t> trusted_signer(const TrustedKeys& keys, const std::uint8_t* message, std::size_t size,
                                          const std::uint8_t* der_signature, std::size_t signature_size) {
  // The same strict form as on Windows, before OpenSSL sees it.
  if (!raw_signature_of_der(der_signature, signature_size)) return std::nullopt;
  for (std::size_t i = 0; i < keys.keys.size(); ++i)
    if (verifies(keys.keys[i].spki, message, size, der_signature, signature_size)) return i;
  return std::nullopt;
}

}  // namespace pw
