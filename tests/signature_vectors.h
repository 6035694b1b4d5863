#pragma once
// Fixed signatures made with `openssl dgst -sha256 -sign tests/keys/test-maker.pem`,
// for the native and the Windows tests alike: each build must take and refuse
// exactly the same.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "update/signature.h"

namespace pw::test {

inline std::vector<std::uint8_t> bytes_of_hex(const std::string& hex) {
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

// tests/keys/test-maker-public.pem
inline constexpr char kTestMakerPublicPem[] =
    "-----BEGIN PUBLIC KEY-----\n"
    "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEwbCPAdHQc5asGaJZg/liyF+2wzfP\n"
    "143BHnjgLKjv5DKpJ2X9hgJzJt8A5ioXH/FVS7g07JSNu/jfdklmkZbCmQ==\n"
    "-----END PUBLIC KEY-----\n";
// SHA-256 of its DER: `openssl pkey -pubin -outform DER | sha256sum`.
inline constexpr char kTestMakerFingerprint[] = "0e786ea792b8a012db65558d763c70c44817fe3d575acce85252141c86c3ae72";

// Another key, on another curve with points of the same size.
inline constexpr char kSecp256k1PublicPem[] =
    "-----BEGIN PUBLIC KEY-----\n"
    "MFYwEAYHKoZIzj0CAQYFK4EEAAoDQgAEsB+jhg23riGPET5lSZKPm/0SI1KVY4Ak\n"
    "kaiN/LbQcqzjbxVt8FsmckABu2olv7r1o4ChDG4UZ+GWPuNkcrsu5g==\n"
    "-----END PUBLIC KEY-----\n";
// The test maker's key with its point compressed.
inline constexpr char kCompressedPublicPem[] =
    "-----BEGIN PUBLIC KEY-----\n"
    "MDkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDIgADwbCPAdHQc5asGaJZg/liyF+2wzfP\n"
    "143BHnjgLKjv5DI=\n"
    "-----END PUBLIC KEY-----\n";

inline constexpr char kVectorMessage[] = "Pushwell signature vector\n";
struct SignatureVector {
  const char* name;
  const char* der_hex;
};
// Signatures of kVectorMessage by the test maker's key, in each integer form DER has.
inline constexpr SignatureVector kVectorSignatures[] = {
    {"both integers 32 bytes",
     "3044022036151edd96fcf8eaca89410ede5e0a560ab976415e8e57d00cb43f38bfd6e047022077b7c1cc6acd499bdb8a4c0731a93572668e"
     "38ca47f501a7c7b4cd7d4389de58"},
    {"r of 31 bytes",
     "3043021f61acb5ea7175a768965673246e4ae0ae9d662fcc14ae1220eb2a8c374b56d902200b5d7f92a89008f1b3a70ad5822eedc80ac4"
     "92670c8fee614373eacb6cf15012"},
    {"r and s with a leading zero byte",
     "3046022100e4a654dad449cac08587c602c4db0c33227120130e684ff23b191c609ed9d18f022100dd98400cf557cf84c6490efb021fd4"
     "9934a7551f8fccdf4bacc5454d8c7d7c31"},
};

// A folder signed by the test maker's key: its list, signature and files.
inline constexpr char kSignedFolderList[] =
    "227790e5409f63d002632a3986cb34ba8dfeade882277b82a97aae75b5f105cf  firmware.cam\n"
    "927e78f87bbacc2cef8564e0ab99be2c55dffbe2c3396d3a3d943294579d7d86  database.cam\n";
inline constexpr char kSignedFolderSignatureHex[] =
    "3045022100ced382dbcc518c3fee80b33f382fa304f795e9671656555a5c0eda88637f353d022048735334116866a0bc37840fb78efaf3a5c0"
    "853df2f7d9c2fe71c0788fb8f258";
inline constexpr char kSignedFolderFirmware[] = "firmware bytes\n";
inline constexpr char kSignedFolderDatabase[] = "database bytes\n";

// What every build's platform must make of the vectors: each verifies with the
// test maker's key over the message and no other, none cut short, and keys of
// another form are not taken.
inline void expect_vectors_judged_as_openssl_does() {
  const TrustedKeys keys = load_trusted_keys(kTestMakerPublicPem);
  ASSERT_EQ(keys.keys.size(), 1u);
  EXPECT_EQ(keys.keys[0].fingerprint, kTestMakerFingerprint);
  const std::string message = kVectorMessage;
  const auto* text = reinterpret_cast<const std::uint8_t*>(message.data());
  for (const SignatureVector& v : kVectorSignatures) {
    SCOPED_TRACE(v.name);
    const std::vector<std::uint8_t> der = bytes_of_hex(v.der_hex);
    EXPECT_EQ(trusted_signer(keys, text, message.size(), der.data(), der.size()), std::optional<std::size_t>(0));
    EXPECT_FALSE(trusted_signer(keys, text, message.size() - 1, der.data(), der.size())) << "another message";
    EXPECT_FALSE(trusted_signer(keys, text, message.size(), der.data(), der.size() - 1)) << "truncated";
  }
  for (const char* other : {kSecp256k1PublicPem, kCompressedPublicPem}) {
    const TrustedKeys refused = load_trusted_keys(other);
    EXPECT_TRUE(refused.keys.empty() && refused.any()) << "a build given only such a key still demands signatures";
  }
}

}  // namespace pw::test
