// The Ed25519 public keys a launcher trusts for release records, their
// one-line text form, and the signature check (OpenSSL). Plain values and
// pure functions; any thread.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "versions/release_record.h"

namespace vantrel {

// One trusted key: its 32 raw public-key bytes and its id (the SHA-256 of
// those bytes, as a release record names its signer).
struct TReleaseKey {
  std::array<uint8_t, 32> publickey{};
  TSha256 id{};

  static TReleaseKey FromRaw(std::span<const uint8_t, 32> raw);
};

// The text form of a key: the base64 of its DER SubjectPublicKeyInfo, the
// one line between the BEGIN and END lines of a PEM public key
// ("MCowBQYDK2VwAyEA" and 44 more characters).
std::string ReleaseKeyText(const TReleaseKey& key);
// False unless text is such a line for an Ed25519 key.
bool ParseReleaseKeyText(std::string_view text, TReleaseKey& key);
// The key id as 64 lower-case hex digits.
std::string KeyIdHex(const TSha256& id);

// The keys of a launcher's key list ("ReleaseKeys" in its configuration):
// one key per line in its text form, optionally followed by blanks and a
// comment; blank lines and lines starting with "#" are skipped.
class TReleaseKeyList {
 public:
  // Raises EVantrelError, naming the line, for a line that is not a key,
  // and for a list without any key.
  static TReleaseKeyList Parse(const std::string& text);

  void Add(const TReleaseKey& key);
  bool Empty() const { return keys_.empty(); }
  size_t Count() const { return keys_.size(); }
  // The key with this id, or null.
  const TReleaseKey* Find(const TSha256& id) const;

 private:
  std::vector<TReleaseKey> keys_;
};

// Whether signature is a valid Ed25519 signature (RFC 8032, pure) of
// message by key. Never raises.
bool VerifyEd25519(const TReleaseKey& key, std::span<const uint8_t> message,
                   std::span<const uint8_t, 64> signature);

}  // namespace vantrel
