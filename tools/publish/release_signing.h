// The publisher's side of signed releases: the Ed25519 signing key (its
// PEM file is readable by its owner only), key generation, and the release
// record ("release.version") that binds a published tree's version files
// and launcher transfer file. Single-threaded, like the publisher.
#pragma once

#include <openssl/types.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "versions/release_keys.h"
#include "versions/release_record.h"

namespace vantrel::publish {

// Default validity of a signed record.
inline constexpr int kDefaultValidDays = 30;
// Longest validity the publisher writes.
inline constexpr int kMaxValidDays = 3650;

// An Ed25519 private key. Copies share the key.
class TReleaseSigningKey {
 public:
  static TReleaseSigningKey Generate();
  // Reads a PEM private key (PKCS#8, as keygen and "openssl genpkey
  // -algorithm ed25519" write it). Raises EVantrelError naming the file when
  // it cannot be read, is not an Ed25519 private key, or can be read by
  // anyone but its owner.
  static TReleaseSigningKey Load(const std::string& path);
  // Writes the key as PEM to a new file readable by its owner only. Raises
  // EVantrelError when the file exists or cannot be written.
  void SavePrivateKey(const std::string& path) const;

  TReleaseKey PublicKey() const;
  TEd25519Signature Sign(std::span<const uint8_t> message) const;

 private:
  std::shared_ptr<EVP_PKEY> key_;
};

struct TKeygenResult {
  std::string privatefile;  // base + ".key"
  std::string publicfile;   // base + ".pub": the key's line for a launcher's key list
  std::string publicline;
  std::string keyid;  // hex
};
// Writes a new key pair to base + ".key" (owner-only) and base + ".pub".
// Raises EVantrelError when either file exists or cannot be written.
TKeygenResult GenerateKeyFiles(const std::string& base);

// The record of one release, signed: signedat and expiresat are set from
// signedat and validseconds.
TReleaseRecord MakeReleaseRecord(int32_t updateversion, std::span<const uint8_t> clientversion,
                                 std::span<const uint8_t> buildversion,
                                 std::span<const uint8_t> launcherversion,
                                 const TFileFingerprint& launchertransfer,
                                 const TReleaseSigningKey& key, int64_t signedat,
                                 int64_t validseconds);

struct TSignOptions {
  std::string outdir;       // the server folder of a published tree
  std::string signkeyfile;  // the private key
  // The launcher's LauncherName and LauncherFolder settings, which place its
  // transfer file in the tree.
  std::string launchername = "Launcher.exe";
  std::string launcherfolder = "\\";
  int64_t validseconds = int64_t{kDefaultValidDays} * 86400;
  int64_t signedat = 0;  // seconds since 1970 (UTC); 0: now
};

// Signs the tree as it stands (again): reads "client.version",
// "build.version", "launcher.version" and the launcher's transfer file,
// checks that they belong together (digests, sizes, update versions, the
// unpacked launcher's MD5), and replaces "release.version" (temporary file,
// flush, rename). Raises EVantrelError naming what does not fit.
TReleaseRecord SignRelease(const TSignOptions& options);

}  // namespace vantrel::publish
