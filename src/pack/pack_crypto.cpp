#include "pack/pack_crypto.h"

#include <openssl/evp.h>

#include <mutex>

#include "pack/pack_errors.h"

namespace vantrel {

namespace {

// The two contexts, made once with the key and the vector; each call resets
// the chaining value to the vector. mutex guards both contexts.
class TDirCipher {
 public:
  TDirCipher() : enc_(EVP_CIPHER_CTX_new()), dec_(EVP_CIPHER_CTX_new()) {
    if (enc_ == nullptr || dec_ == nullptr ||
        EVP_EncryptInit_ex(enc_, EVP_aes_128_cbc(), nullptr, kPackKey.data(), kPackIV.data()) !=
            1 ||
        EVP_DecryptInit_ex(dec_, EVP_aes_128_cbc(), nullptr, kPackKey.data(), kPackIV.data()) !=
            1) {
      Free();
      throw EPackError("The pack cipher (AES-128-CBC) is not available");
    }
    // Units are whole blocks: nothing is ever padded or stripped.
    EVP_CIPHER_CTX_set_padding(enc_, 0);
    EVP_CIPHER_CTX_set_padding(dec_, 0);
  }
  ~TDirCipher() { Free(); }
  TDirCipher(const TDirCipher&) = delete;
  TDirCipher& operator=(const TDirCipher&) = delete;

  std::vector<uint8_t> Run(std::span<const uint8_t> bytes, bool encrypt) {
    if (bytes.size() % 16 != 0) {
      throw EPackError("Pack directory data is not a whole number of cipher blocks");
    }
    std::vector<uint8_t> out(bytes.size());
    if (bytes.empty()) return out;
    std::lock_guard<std::mutex> lock(mutex_);
    EVP_CIPHER_CTX* ctx = encrypt ? enc_ : dec_;
    int len = 0;
    int fin = 0;
    if (EVP_CipherInit_ex(ctx, nullptr, nullptr, nullptr, kPackIV.data(), encrypt ? 1 : 0) != 1 ||
        EVP_CipherUpdate(ctx, out.data(), &len, bytes.data(), static_cast<int>(bytes.size())) !=
            1 ||
        EVP_CipherFinal_ex(ctx, out.data() + len, &fin) != 1 ||
        static_cast<size_t>(len + fin) != bytes.size()) {
      throw EPackError(encrypt ? "Encryption of the pack directory failed"
                               : "Decryption of the pack directory failed");
    }
    return out;
  }

 private:
  void Free() {
    EVP_CIPHER_CTX_free(enc_);
    EVP_CIPHER_CTX_free(dec_);
    enc_ = dec_ = nullptr;
  }

  std::mutex mutex_;
  EVP_CIPHER_CTX* enc_;
  EVP_CIPHER_CTX* dec_;
};

TDirCipher& Cipher() {
  static TDirCipher cipher;
  return cipher;
}

}  // namespace

std::vector<uint8_t> EncryptDirData(std::span<const uint8_t> bytes) {
  return Cipher().Run(bytes, true);
}

std::vector<uint8_t> DecryptDirData(std::span<const uint8_t> bytes) {
  return Cipher().Run(bytes, false);
}

}  // namespace vantrel
