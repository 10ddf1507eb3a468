#include "versions/release_keys.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <memory>

#include "platform/errors.h"
#include "platform/text_file.h"

namespace vantrel {

namespace {

struct TPkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct TMdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

bool IsBase64Char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

// Strict base64 with padding: false for anything else.
bool DecodeBase64(std::string_view text, std::vector<uint8_t>& out) {
  if (text.empty() || text.size() % 4 != 0 || text.size() > 4096) return false;
  size_t pad = 0;
  while (pad < 2 && text[text.size() - 1 - pad] == '=') ++pad;
  for (size_t i = 0; i < text.size() - pad; ++i) {
    if (!IsBase64Char(text[i])) return false;
  }
  out.assign(text.size() / 4 * 3, 0);
  const std::string copy(text);
  const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(copy.data()),
                                static_cast<int>(copy.size()));
  if (n < 0 || static_cast<size_t>(n) != out.size()) return false;
  out.resize(out.size() - pad);
  return true;
}

std::string Trim(const std::string& s) {
  const size_t a = s.find_first_not_of(" \t");
  if (a == std::string::npos) return std::string();
  const size_t b = s.find_last_not_of(" \t");
  return s.substr(a, b - a + 1);
}

}  // namespace

TReleaseKey TReleaseKey::FromRaw(std::span<const uint8_t, 32> raw) {
  TReleaseKey k;
  std::copy(raw.begin(), raw.end(), k.publickey.begin());
  k.id = GetBytesSHA256(raw);
  return k;
}

std::string ReleaseKeyText(const TReleaseKey& key) {
  std::unique_ptr<EVP_PKEY, TPkeyFree> pkey(EVP_PKEY_new_raw_public_key(
      EVP_PKEY_ED25519, nullptr, key.publickey.data(), key.publickey.size()));
  if (!pkey) throw EVantrelError("Ed25519 is not available");
  unsigned char* der = nullptr;
  const int len = i2d_PUBKEY(pkey.get(), &der);
  if (len <= 0) throw EVantrelError("Cannot encode a public key");
  std::unique_ptr<unsigned char, void (*)(unsigned char*)> derguard(
      der, [](unsigned char* p) { OPENSSL_free(p); });
  std::string text(static_cast<size_t>((len + 2) / 3 * 4), '\0');
  EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), der, len);
  return text;
}

bool ParseReleaseKeyText(std::string_view text, TReleaseKey& key) {
  std::vector<uint8_t> der;
  if (!DecodeBase64(text, der)) return false;
  const unsigned char* p = der.data();
  std::unique_ptr<EVP_PKEY, TPkeyFree> pkey(d2i_PUBKEY(nullptr, &p, static_cast<long>(der.size())));
  if (!pkey || p != der.data() + der.size()) return false;
  if (EVP_PKEY_get_base_id(pkey.get()) != EVP_PKEY_ED25519) return false;
  std::array<uint8_t, 32> raw{};
  size_t len = raw.size();
  if (EVP_PKEY_get_raw_public_key(pkey.get(), raw.data(), &len) != 1 || len != raw.size()) {
    return false;
  }
  key = TReleaseKey::FromRaw(raw);
  return true;
}

std::string KeyIdHex(const TSha256& id) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (const uint8_t b : id) {
    out += kHex[b >> 4];
    out += kHex[b & 0x0F];
  }
  return out;
}

TReleaseKeyList TReleaseKeyList::Parse(const std::string& text) {
  TReleaseKeyList list;
  int number = 0;
  for (const std::string& raw : platform::SplitLines(text)) {
    ++number;
    const std::string line = Trim(raw);
    if (line.empty() || line[0] == '#') continue;
    const std::string word = line.substr(0, line.find_first_of(" \t"));
    TReleaseKey key;
    if (!ParseReleaseKeyText(word, key)) {
      throw EVantrelError("Release key list, line " + std::to_string(number) +
                          ": not an Ed25519 public key");
    }
    list.Add(key);
  }
  if (list.Empty()) throw EVantrelError("Release key list holds no key");
  return list;
}

void TReleaseKeyList::Add(const TReleaseKey& key) {
  if (Find(key.id) == nullptr) keys_.push_back(key);
}

const TReleaseKey* TReleaseKeyList::Find(const TSha256& id) const {
  for (const TReleaseKey& k : keys_) {
    if (k.id == id) return &k;
  }
  return nullptr;
}

bool VerifyEd25519(const TReleaseKey& key, std::span<const uint8_t> message,
                   std::span<const uint8_t, 64> signature) {
  std::unique_ptr<EVP_PKEY, TPkeyFree> pkey(EVP_PKEY_new_raw_public_key(
      EVP_PKEY_ED25519, nullptr, key.publickey.data(), key.publickey.size()));
  if (!pkey) return false;
  std::unique_ptr<EVP_MD_CTX, TMdCtxFree> ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, pkey.get()) != 1) {
    return false;
  }
  return EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), message.data(),
                          message.size()) == 1;
}

}  // namespace vantrel
