#pragma once
// ECDSA P-256 signatures over SHA-256, DER-encoded as `openssl dgst -sha256 -sign`
// writes them, and the keys they verify with. The encodings are checked here,
// purely and strictly, so every build takes exactly the same signatures and keys;
// the arithmetic is the platform's: signature_win.cpp (CNG), signature_openssl.cpp.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "update/sha256.h"

namespace pw {

inline constexpr std::size_t kMaxSignatureSize = 72;
using Scalar = std::array<std::uint8_t, 32>;        // big-endian
using RawSignature = std::array<std::uint8_t, 64>;  // r then s: what CNG signs and verifies
using PublicPoint = std::array<std::uint8_t, 64>;   // X then Y of an uncompressed point
inline constexpr std::size_t kSpkiSize = 91;        // the DER SubjectPublicKeyInfo of such a key
// The curve's name (OID 1.2.840.10045.3.1.7) in DER: a P-256 key's algorithm parameters.
inline constexpr std::uint8_t kP256CurveOid[] = {0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07};

// The strict DER ECDSA-Sig-Value {r, s} of at most kMaxSignatureSize bytes: short
// lengths, minimal positive integers of 1 to 32 significant bytes, nothing after.
// Empty for anything else.
std::optional<RawSignature> raw_signature_of_der(const std::uint8_t* der, std::size_t size);
// The inverse, for the maker's tool.
std::vector<std::uint8_t> der_of_raw_signature(const RawSignature& raw);

// An unsigned integer stored least significant byte first (crypt32's
// CRYPT_UINT_BLOB), as 32 bytes big-endian; empty when it has no bytes or more
// than 32 significant ones.
std::optional<Scalar> scalar_of_little_endian(const std::uint8_t* little, std::size_t size);

// The point of a DER SubjectPublicKeyInfo of an EC key on the named curve P-256
// with an uncompressed point: the one key form taken. Empty for any other
// (another curve, explicit parameters, a compressed point, another algorithm).
std::optional<PublicPoint> p256_point_of_spki(const std::uint8_t* der, std::size_t size);

// A P-256 private key as SEC 1 "EC PRIVATE KEY" in DER, with the curve named and
// the public point, as `openssl ecparam -name prime256v1 -genkey -noout` writes it.
struct P256PrivateKey {
  Scalar d;
  PublicPoint q;
};
std::vector<std::uint8_t> sec1_of_private_key(const P256PrivateKey& key);
std::optional<P256PrivateKey> private_key_of_sec1(const std::uint8_t* der, std::size_t size);

// The PEM blocks labelled `label` (e.g. "PUBLIC KEY") in `text`, each from its
// BEGIN line to its END line, in order. `stray` is set when the text holds
// anything else besides blank space (another block, loose text, a cut block).
std::vector<std::string> pem_blocks(std::string_view text, std::string_view label, bool* stray);

struct TrustedKey {
  std::vector<std::uint8_t> spki;  // DER SubjectPublicKeyInfo
  std::string fingerprint;         // hex SHA-256 of `spki`
};
struct TrustedKeys {
  std::vector<TrustedKey> keys;  // the blocks that decode to a P-256 key
  std::size_t blocks = 0;        // every block given, read or not
  // A build with keys demands signed folders, even when a key cannot be read.
  bool any() const noexcept { return blocks > 0; }
};

// Platform: the bytes of one PEM block, exactly as written.
std::optional<std::vector<std::uint8_t>> der_of_pem_block(const std::string& block);

// The "PUBLIC KEY" blocks of `pem`.
inline TrustedKeys load_trusted_keys(std::string_view pem) {
  TrustedKeys keys;
  for (const std::string& block : pem_blocks(pem, "PUBLIC KEY", nullptr)) {
    ++keys.blocks;
    std::optional<std::vector<std::uint8_t>> der = der_of_pem_block(block);
    if (!der || !p256_point_of_spki(der->data(), der->size())) continue;
    if (const std::optional<Digest> fingerprint = sha256_of(der->data(), der->size()))
      keys.keys.push_back({std::move(*der), to_hex(*fingerprint)});
  }
  return keys;
}
// Platform: the key with which `der_signature` verifies over exactly `message`.
std::optional<std::size_t> trusted_signer(const TrustedKeys& keys, const std::uint8_t* message, std::size_t size,
                                          const std::uint8_t* der_signature, std::size_t signature_size);

// The PEM text of the keys the build was given (PUSHWELL_TRUSTED_KEYS), empty
// for none. Defined by a small generated library that only the programs link,
// so a build with other keys relinks the same objects.
const char* built_in_trusted_keys_pem() noexcept;
// Never destroyed: a reading of the folder still at work when the process ends
// (it is never waited for) may still use them.
inline const TrustedKeys& built_in_trusted_keys() {
  static const TrustedKeys* const keys = new TrustedKeys(load_trusted_keys(built_in_trusted_keys_pem()));
  return *keys;
}

}  // namespace pw
