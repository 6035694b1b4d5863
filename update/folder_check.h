#pragma once
// The verdict on a real update folder: reads SHA256SUMS and SHA256SUMS.sig once
// each, verifies the signature over exactly the bytes read, and hashes the update
// files in 1 MiB slices. Blocks for as long as the hashing takes (64 MiB: well
// under a second), so call it off the window thread. Safe on any thread; holds
// no state between calls; throws nothing but std::bad_alloc. Windows: folder_check_win.cpp (wide paths, CNG);
// natively folder_check_openssl.cpp.
#include <functional>
#include <optional>
#include <string>

#include "update/folder_verdict.h"
#include "update/sha256.h"
#include "update/signature.h"

namespace pw {

// What both platforms' folders do alike: the signature against the given keys,
// and the hashing's start passed on.
class FolderEffectsWithKeys : public FolderEffects {
 public:
  FolderEffectsWithKeys(const TrustedKeys& keys, const std::function<void(const std::string&)>& hashing_begins)
      : keys_(keys), hashing_begins_(hashing_begins) {}
  std::optional<std::string> trusted_signer(const std::vector<std::uint8_t>& list,
                                            const std::vector<std::uint8_t>& signature) override {
    const std::optional<std::size_t> key =
        pw::trusted_signer(keys_, list.data(), list.size(), signature.data(), signature.size());
    if (!key) return std::nullopt;
    return keys_.keys[*key].fingerprint;
  }
  void hashing_begins(const std::string& signer) override {
    if (hashing_begins_) hashing_begins_(signer);
  }

 protected:
  ~FolderEffectsWithKeys() = default;

 private:
  const TrustedKeys& keys_;
  const std::function<void(const std::string&)>& hashing_begins_;
};

// `hashing_begins` (may be empty) hears when the long part starts, with the
// verified signer's fingerprint (empty when not checked): the moment for the
// step text of folder_step_text().
FolderVerdict check_update_folder(const std::string& folder_utf8, const TrustedKeys& keys,
                                  const std::function<void(const std::string& signer)>& hashing_begins = {});

// With the keys built into this program.
inline FolderVerdict check_update_folder(const std::string& folder_utf8) {
  return check_update_folder(folder_utf8, built_in_trusted_keys());
}

// SHA-256 of a whole file, read in 1 MiB slices; empty when it cannot be opened or read.
std::optional<Digest> sha256_of_file(const std::string& path_utf8);

}  // namespace pw
