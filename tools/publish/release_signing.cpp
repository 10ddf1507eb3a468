#include "publish/release_signing.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/stream.h"
#include "publish/publish.h"
#include "versions/update_list.h"
#include "versions/update_utils.h"
#include "versions/version_records.h"

namespace vantrel::publish {

namespace {

struct TPkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct TBioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
struct TMdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

// A write-only stream that keeps the MD5 of everything written to it: the
// unpacked launcher is checked without being held anywhere.
class TMD5Sink : public TStream {
 public:
  TMD5Sink() : ctx_(EVP_MD_CTX_new()) {
    if (!ctx_ || EVP_DigestInit_ex(ctx_.get(), EVP_md5(), nullptr) != 1) {
      throw EVantrelError("MD5 is not available");
    }
  }
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void* buffer, int64_t count) override {
    if (count > 0) EVP_DigestUpdate(ctx_.get(), buffer, static_cast<size_t>(count));
    size_ += count > 0 ? count : 0;
    return count;
  }
  int64_t Seek(int64_t, TSeekOrigin) override { return size_; }
  int64_t Size() override { return size_; }
  void SetSize(int64_t) override {}
  TBytes Final() {
    TBytes d(16);
    unsigned int len = 0;
    EVP_DigestFinal_ex(ctx_.get(), d.data(), &len);
    return d;
  }

 private:
  std::unique_ptr<EVP_MD_CTX, TMdCtxFree> ctx_;
  int64_t size_ = 0;
};

TBytes ReadWholeFile(const std::string& path) {
  if (!platform::FileExists(path)) throw EVantrelError("Not found: " + path);
  TMemoryStream m;
  m.LoadFromFile(path);
  return m.TakeBytes();
}

}  // namespace

TReleaseSigningKey TReleaseSigningKey::Generate() {
  EVP_PKEY* raw = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
  if (raw == nullptr) throw EVantrelError("Cannot generate an Ed25519 key");
  TReleaseSigningKey k;
  k.key_ = std::shared_ptr<EVP_PKEY>(raw, TPkeyFree());
  return k;
}

TReleaseSigningKey TReleaseSigningKey::Load(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    throw EVantrelError("Cannot read the signing key " + path + ": " + std::strerror(errno));
  }
  if ((st.st_mode & 077) != 0) {
    throw EVantrelError("The signing key " + path +
                        " can be read by others than its owner; make it owner-only (chmod 600)");
  }
  std::unique_ptr<BIO, TBioFree> bio(BIO_new_file(path.c_str(), "r"));
  if (!bio) throw EVantrelError("Cannot read the signing key " + path);
  std::unique_ptr<EVP_PKEY, TPkeyFree> pkey(
      PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  if (!pkey || EVP_PKEY_get_base_id(pkey.get()) != EVP_PKEY_ED25519) {
    throw EVantrelError("Not an Ed25519 private key in PEM form: " + path);
  }
  TReleaseSigningKey k;
  k.key_ = std::shared_ptr<EVP_PKEY>(pkey.release(), TPkeyFree());
  return k;
}

void TReleaseSigningKey::SavePrivateKey(const std::string& path) const {
  std::unique_ptr<BIO, TBioFree> mem(BIO_new(BIO_s_mem()));
  if (!mem ||
      PEM_write_bio_PrivateKey(mem.get(), key_.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    throw EVantrelError("Cannot encode the private key");
  }
  char* data = nullptr;
  const long len = BIO_get_mem_data(mem.get(), &data);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) throw EVantrelError("Cannot create " + path + ": " + std::strerror(errno));
  bool ok = ::fchmod(fd, 0600) == 0 && ::write(fd, data, static_cast<size_t>(len)) == len &&
            ::fsync(fd) == 0;
  const int err = errno;
  ok = ::close(fd) == 0 && ok;
  if (!ok) {
    ::unlink(path.c_str());
    throw EVantrelError("Cannot write " + path + ": " + std::strerror(err));
  }
}

TReleaseKey TReleaseSigningKey::PublicKey() const {
  std::array<uint8_t, 32> raw{};
  size_t len = raw.size();
  if (EVP_PKEY_get_raw_public_key(key_.get(), raw.data(), &len) != 1 || len != raw.size()) {
    throw EVantrelError("Cannot read the public key");
  }
  return TReleaseKey::FromRaw(raw);
}

TEd25519Signature TReleaseSigningKey::Sign(std::span<const uint8_t> message) const {
  std::unique_ptr<EVP_MD_CTX, TMdCtxFree> ctx(EVP_MD_CTX_new());
  TEd25519Signature sig{};
  size_t len = sig.size();
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key_.get()) != 1 ||
      EVP_DigestSign(ctx.get(), sig.data(), &len, message.data(), message.size()) != 1 ||
      len != sig.size()) {
    throw EVantrelError("Signing failed");
  }
  return sig;
}

TKeygenResult GenerateKeyFiles(const std::string& base) {
  TKeygenResult r;
  r.privatefile = base + ".key";
  r.publicfile = base + ".pub";
  if (platform::FileExists(r.publicfile)) {
    throw EVantrelError("Not replacing the existing file " + r.publicfile);
  }
  const TReleaseSigningKey key = TReleaseSigningKey::Generate();
  key.SavePrivateKey(r.privatefile);
  const TReleaseKey pub = key.PublicKey();
  r.keyid = KeyIdHex(pub.id);
  r.publicline = ReleaseKeyText(pub) + " vantrel release key " + r.keyid.substr(0, 16);
  const std::string text = r.publicline + "\n";
  try {
    platform::ReplaceFileDurably(
        r.publicfile,
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  } catch (const std::exception& e) {
    platform::RemoveFileAt(r.privatefile);
    throw EVantrelError("Cannot write " + r.publicfile + ": " + e.what());
  }
  return r;
}

TReleaseRecord MakeReleaseRecord(int32_t updateversion, std::span<const uint8_t> clientversion,
                                 std::span<const uint8_t> buildversion,
                                 std::span<const uint8_t> launcherversion,
                                 const TFileFingerprint& launchertransfer,
                                 const TReleaseSigningKey& key, int64_t signedat,
                                 int64_t validseconds) {
  TReleaseRecord r;
  r.updateversion = updateversion;
  r.signedat = signedat;
  r.expiresat = signedat + validseconds;
  r.clientversion = FingerprintOf(clientversion);
  r.buildversion = FingerprintOf(buildversion);
  r.launcherversion = FingerprintOf(launcherversion);
  r.launchertransfer = launchertransfer;
  r.keyid = key.PublicKey().id;
  r.signature = key.Sign(r.SignedPart());
  return r;
}

TReleaseRecord SignRelease(const TSignOptions& o) {
  if (o.validseconds <= 0) throw EVantrelError("The validity must be positive");
  const TReleaseSigningKey key = TReleaseSigningKey::Load(o.signkeyfile);
  const std::string out = o.outdir + "/";
  const std::string launcherkey = o.launcherfolder + o.launchername;
  if (o.launchername.empty() || o.launchername.find_first_of("\\/") != std::string::npos ||
      !TUpdateList::IsSafeKey(launcherkey)) {
    throw EVantrelError("Launcher folder and name do not form a path under the game folder: " +
                        launcherkey);
  }
  const std::string transferpath = out + TransferPathOfKey(launcherkey);

  const TBytes clientbytes = ReadWholeFile(out + "client.version");
  const TBytes buildbytes = ReadWholeFile(out + "build.version");
  const TBytes launcherbytes = ReadWholeFile(out + "launcher.version");

  // The tree must be one release: a record over files that do not belong
  // together would be refused by every launcher, or worse, trusted.
  TBuildVersionRecord build;
  if (!build.Parse(buildbytes) || !build.IsDigestValid()) {
    throw EVantrelError("build.version is damaged: " + out + "build.version");
  }
  if (static_cast<int64_t>(clientbytes.size()) != build.clientversiondownsize) {
    throw EVantrelError("client.version has " + std::to_string(clientbytes.size()) +
                        " bytes but build.version announces " +
                        std::to_string(build.clientversiondownsize));
  }
  TUpdateList list;
  TMemoryStream listbytes(clientbytes);
  if (!list.LoadFromStream(listbytes)) throw EVantrelError("client.version does not load");
  if (list.updateversion != build.updateversion) {
    throw EVantrelError("client.version is update version " + std::to_string(list.updateversion) +
                        " but build.version says " + std::to_string(build.updateversion));
  }
  TLauncherVersionRecord launcher;
  if (!launcher.Parse(launcherbytes) || !launcher.IsDigestValid()) {
    throw EVantrelError("launcher.version is damaged: " + out + "launcher.version");
  }
  if (platform::FileSizeOf(transferpath) != launcher.launchersize) {
    throw EVantrelError("The launcher's transfer file " + transferpath + " is not the " +
                        std::to_string(launcher.launchersize) +
                        " bytes launcher.version announces (check --launcher-name and "
                        "--launcher-folder)");
  }
  {
    TFileStream packed(transferpath, TFileMode::OpenRead, TFileShare::DenyNone);
    TMD5Sink unpacked;
    if (!DecompressStream(packed, unpacked) ||
        unpacked.Final() != TBytes(launcher.launcherhash.begin(), launcher.launcherhash.end())) {
      throw EVantrelError("The launcher's transfer file " + transferpath +
                          " does not unpack to the launcher launcher.version names");
    }
  }
  const TFileFingerprint transfer = FingerprintOfFile(transferpath);
  const int64_t now = o.signedat != 0 ? o.signedat : static_cast<int64_t>(std::time(nullptr));
  const TReleaseRecord record =
      MakeReleaseRecord(build.updateversion, clientbytes, buildbytes, launcherbytes, transfer, key,
                        now, o.validseconds);
  // The tree may have changed while it was read: sign only what is still there.
  if (FingerprintOfFile(out + "client.version") != record.clientversion ||
      FingerprintOfFile(out + "build.version") != record.buildversion ||
      FingerprintOfFile(out + "launcher.version") != record.launcherversion) {
    throw EVantrelError("The tree changed while it was being signed; sign it again");
  }
  platform::ReplaceFileDurably(out + kReleaseRecordName, record.Serialize());
  return record;
}

}  // namespace vantrel::publish
