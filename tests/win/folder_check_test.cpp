// Signed update folders through CNG and crypt32: the fixed vectors the native
// build takes through OpenSSL, and a folder the openssl program signed, in a
// folder named in Cyrillic.
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "tests/signature_vectors.h"
#include "update/folder_check.h"
#include "win/wide_text.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(CngSignature, TakesAndRefusesTheFixedVectorsAsOpensslDoes) { pw::test::expect_vectors_judged_as_openssl_does(); }

TEST(CngSignature, JudgesAFolderTheOpensslProgramSigned) {
  wchar_t temp[MAX_PATH];
  ::GetTempPathW(MAX_PATH, temp);
  const std::string folder =
      pw::narrow(temp) + "pushwell-\xD0\xBF\xD0\xB0\xD0\xBF\xD0\xBA\xD0\xB0-" + std::to_string(::GetCurrentProcessId());
  ASSERT_TRUE(::CreateDirectoryW(pw::widen(folder).c_str(), nullptr));
  const auto write = [&](const char* name, const std::string& bytes) {
    std::ofstream(std::filesystem::path(pw::widen(folder + "\\" + name)), std::ios::binary) << bytes;
  };
  const Bytes signature = pw::test::bytes_of_hex(pw::test::kSignedFolderSignatureHex);
  write("SHA256SUMS", pw::test::kSignedFolderList);
  write("SHA256SUMS.sig", std::string(signature.begin(), signature.end()));
  write("firmware.cam", pw::test::kSignedFolderFirmware);
  write("database.cam", pw::test::kSignedFolderDatabase);
  const pw::TrustedKeys keys = pw::load_trusted_keys(pw::test::kTestMakerPublicPem);

  const std::atomic<bool> never{false};
  const auto verdict_of = [&] { return pw::read_update_folder(folder, keys, never).verdict; };
  pw::FolderVerdict verdict = verdict_of();
  EXPECT_EQ(verdict.reason, pw::FolderReason::files_match) << pw::folder_reason_name(verdict.reason);
  EXPECT_EQ(verdict.signer, pw::test::kTestMakerFingerprint);
  EXPECT_EQ(verdict.signature, pw::SignatureCheck::verified);

  write("database.cam", std::string(pw::test::kSignedFolderDatabase) + "!");
  verdict = verdict_of();
  EXPECT_EQ(verdict.reason, pw::FolderReason::file_differs);
  EXPECT_EQ(verdict.file, std::optional<std::size_t>(4));

  write("SHA256SUMS", std::string(pw::test::kSignedFolderList) + "\n");
  EXPECT_EQ(verdict_of().reason, pw::FolderReason::signature_not_trusted);

  for (const char* name : {"SHA256SUMS", "SHA256SUMS.sig", "firmware.cam", "database.cam"})
    ::DeleteFileW(pw::widen(folder + "\\" + name).c_str());
  ::RemoveDirectoryW(pw::widen(folder).c_str());
}

}  // namespace
