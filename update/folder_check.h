#pragma once
// A real update folder read once (update_folder.h): SHA256SUMS and SHA256SUMS.sig
// once each, the signature verified over exactly the bytes read, each update file
// read whole in 1 MiB slices and hashed, every read bounded (bounded_read.h).
// Blocks for as long as the reading takes (64 MiB: well under a second), so call it
// off the window thread. Safe on any thread; holds no state between calls; throws
// nothing but std::bad_alloc. Windows: folder_check_win.cpp (wide paths, CNG);
// natively folder_check_openssl.cpp.
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "update/sha256.h"
#include "update/signature.h"
#include "update/update_folder.h"

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

// The folder as a build trusting `keys` reads it. `hashing_begins` (may be empty)
// hears when the long part starts, with the verified signer's fingerprint (empty
// when not checked): the moment for the step text of folder_step_text(). Once
// `stop` is set the reading ends soon, and what it returns is worth nothing.
UpdateFolder read_update_folder(const std::string& folder_utf8, const TrustedKeys& keys,
                                const std::atomic<bool>& stop,
                                const std::function<void(const std::string& signer)>& hashing_begins = {});

// The driver installer of the folder as checked. On Windows the file stays open,
// letting others read but not change, rename or delete it, for as long as `hold`
// lives: what is started is what was checked.
struct CheckedInstaller {
  InstallerVerdict verdict = InstallerVerdict::absent;
  std::string path;
  std::shared_ptr<void> hold;
};
CheckedInstaller check_installer(const std::string& folder_utf8, const TrustedKeys& keys,
                                 const std::atomic<bool>& stop);

// SHA-256 of a whole file, read in 1 MiB slices; empty when it cannot be opened or read.
std::optional<Digest> sha256_of_file(const std::string& path_utf8);

}  // namespace pw
