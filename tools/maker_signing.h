#pragma once
// The device maker's side of signed update folders, for camtool on Windows: a
// new P-256 key pair, and signatures as `openssl dgst -sha256 -sign` writes them.
// CNG makes the keys and signatures. Wine's crypt32 (8.0) encodes neither an EC
// private key nor an ECDSA signature, so those two DER forms come from
// update/signature.h; the public key is encoded by crypt32.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pw::tools {

struct KeyPairPem {
  std::string private_pem;  // SEC 1 "EC PRIVATE KEY"
  std::string public_pem;   // "PUBLIC KEY" (SubjectPublicKeyInfo)
};

// On failure, empty with `error` saying what failed.
std::optional<KeyPairPem> generate_key_pair(std::string& error);

// The DER signature of `size` bytes with the private key of `private_pem`
// ("EC PRIVATE KEY", P-256, as generate_key_pair or `openssl ecparam -name
// prime256v1 -genkey -noout` writes it).
std::optional<std::vector<std::uint8_t>> sign_bytes(const std::string& private_pem, const std::uint8_t* data,
                                                    std::size_t size, std::string& error);

}  // namespace pw::tools
