#include "pack/pack_dir_record.h"

#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <cerrno>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "pack/pack_crypto.h"
#include "pack/pack_errors.h"
#include "platform/files.h"

namespace vantrel {

namespace {

constexpr int64_t kCopyBlock = 65536;
// A sidecar larger than this (1.5 million records) is not read.
constexpr int64_t kMaxSidecarSize = int64_t{512} << 20;
constexpr int kFolderAttempts = 3;

template <typename T>
T GetLE(const uint8_t* p) {
  uint64_t v = 0;
  for (size_t i = 0; i < sizeof(T); ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
  return static_cast<T>(v);
}

template <typename T>
void PutLE(uint8_t* p, T v) {
  for (size_t i = 0; i < sizeof(T); ++i)
    p[i] = static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i));
}

struct TMD5 {
  TMD5() : ctx(EVP_MD_CTX_new()) {
    if (ctx == nullptr || EVP_DigestInit_ex(ctx, EVP_md5(), nullptr) != 1) {
      EVP_MD_CTX_free(ctx);
      throw EPackError("MD5 is not available");
    }
  }
  ~TMD5() { EVP_MD_CTX_free(ctx); }
  TMD5(const TMD5&) = delete;
  TMD5& operator=(const TMD5&) = delete;
  void Update(const uint8_t* p, int64_t n) { EVP_DigestUpdate(ctx, p, static_cast<size_t>(n)); }
  std::array<uint8_t, 16> Final() {
    std::array<uint8_t, 16> out{};
    unsigned int len = 0;
    EVP_DigestFinal_ex(ctx, out.data(), &len);
    return out;
  }
  EVP_MD_CTX* ctx;
};

// A stored name that may become a path under a folder on disk: no "\\"
// (another separator elsewhere), nothing IsSafePackPath refuses (empty,
// "." and ".." components, an absolute form, ":", NUL).
bool IsStoredNameSafe(const std::string& name) {
  return name.find('\\') == std::string::npos && IsSafePackPath(name);
}

// A record lies inside the data area [0, end) with no negative field.
bool InsideDataArea(const TPackFileRecord& r, int64_t end) {
  if (r.offset < 0 || r.size < 0 || r.margin < 0) return false;
  return r.offset <= end && r.size <= end - r.offset && r.margin <= end - r.offset - r.size;
}

// Filler bytes, eight from each draw of the generator.
void Fill(uint8_t* from, uint8_t* to, std::mt19937_64& rng) {
  while (from < to) {
    const uint64_t v = rng();
    for (int i = 0; i < 8 && from < to; ++i) *from++ = static_cast<uint8_t>(v >> (8 * i));
  }
}

// A copy buffer that is not zero-filled first (every byte is written before
// it is read).
class TCopyBuffer {
 public:
  explicit TCopyBuffer(int64_t n) : p_(new uint8_t[static_cast<size_t>(n)]) {}
  uint8_t* data() const { return p_.get(); }

 private:
  std::unique_ptr<uint8_t[]> p_;
};

// Ends the save side of the handshake on every way out.
template <typename F>
struct TOnExit {
  F f;
  ~TOnExit() { f(); }
};
template <typename F>
TOnExit(F) -> TOnExit<F>;

}  // namespace

TPackDirRecord::TPackDirRecord() = default;
TPackDirRecord::~TPackDirRecord() = default;

TPackDirRecord& GetPackDir() {
  static TPackDirRecord packdir;
  return packdir;
}

// --- Handshake ---------------------------------------------------------------

bool TPackDirRecord::BeginChange() {
  std::lock_guard<std::mutex> lock(flagsmutex_);
  if (issaving.load()) return false;
  ischanging.store(true);
  return true;
}

void TPackDirRecord::EndChange() {
  {
    std::lock_guard<std::mutex> lock(flagsmutex_);
    ischanging.store(false);
  }
  flagscv_.notify_all();
}

void TPackDirRecord::BeginSave() {
  std::unique_lock<std::mutex> lock(flagsmutex_);
  flagscv_.wait(lock, [this] { return !issaving.load(); });
  issaving.store(true);
  flagscv_.wait(lock, [this] { return !ischanging.load(); });
}

void TPackDirRecord::EndSave() {
  {
    std::lock_guard<std::mutex> lock(flagsmutex_);
    issaving.store(false);
  }
  flagscv_.notify_all();
}

// --- State -------------------------------------------------------------------

void TPackDirRecord::ResetState() {
  sig = kPackMagic;
  ver = numRecord = numUnused = 0;
  attr = 0;
  filelist.clear();
  unusedlist.clear();
  packfile.reset();
  packfilesize = 0;
  logicalsectorsize = reallogicalsectorsize = kPackFallbackSectorSize;
  ischanged = false;
  isunusedoptimized = true;
  endofdata = 0;
  isoldversion = false;
  packfilename.clear();
  isreadonly = false;
  foundsectorsize = 0;
  isrecovered = false;
  droppedrecords = 0;
  unsafenames.clear();
  recovereddigests = 0;
  loaderror.clear();
  headersaveid_ = 0;
  headercheck_ = 0;
}

void TPackDirRecord::Reset() {
  ResetState();
  std::lock_guard<std::mutex> lock(flagsmutex_);
  ischanging.store(false);
  issaving.store(false);
}

void TPackDirRecord::RequireFile() const {
  if (!packfile) throw EPackError("No pack is mounted");
}

void TPackDirRecord::RequireWritable() const {
  RequireFile();
  if (isreadonly) throw EPackError("The pack \"" + packfilename + "\" is open for reading only");
}

// --- Mounting ----------------------------------------------------------------

bool TPackDirRecord::Mount(const std::string& filename) { return MountFile(filename, false); }

bool TPackDirRecord::MountReadOnly(const std::string& filename) {
  return MountFile(filename, true);
}

bool TPackDirRecord::MountFile(const std::string& filename, bool readonly) {
  if (packfile) throw EPackError("The pack \"" + packfilename + "\" is already mounted");
  Reset();
  if (const std::optional<int> s = platform::LogicalSectorSize(platform::ExtractFileDir(filename));
      s && *s > 0 && *s <= (1 << 20)) {
    logicalsectorsize = reallogicalsectorsize = *s;
  }
  packfile = std::make_unique<TFileStream>(
      filename, readonly ? TFileMode::OpenRead : TFileMode::OpenOrCreate, TFileShare::Exclusive);
  packfilename = filename;
  isreadonly = readonly;
  try {
    LoadDirectory();
  } catch (const std::exception& e) {
    // The pack stays unmounted; later operations that need it raise.
    loaderror = e.what();
    packfile.reset();
    filelist.clear();
    unusedlist.clear();
    numRecord = numUnused = 0;
    endofdata = 0;
  }
  logicalsectorsize = reallogicalsectorsize;
  return packfile != nullptr;
}

bool TPackDirRecord::Dismount() {
  if (!packfile) return false;
  BeginSave();
  TOnExit done{[this] { EndSave(); }};
  try {
    if (ischanged && !isreadonly) SaveUnderHandshake();
  } catch (...) {
    ResetState();
    throw;
  }
  ResetState();
  return true;
}

// --- Reading the directory ---------------------------------------------------

std::optional<TPackDirRecord::THeader> TPackDirRecord::ReadHeader(int32_t sectorsize) {
  const int64_t h = PackRoundup(kPackHeaderSize, sectorsize);
  if (packfilesize < h) return std::nullopt;
  uint8_t enc[kPackHeaderSize];
  packfile->SetPosition(packfilesize - h);
  packfile->ReadBuffer(enc, kPackHeaderSize);
  const std::vector<uint8_t> plain = DecryptDirData(enc);
  THeader hdr{};
  hdr.numUnused = GetLE<int32_t>(&plain[0]);
  hdr.attr = GetLE<uint32_t>(&plain[4]);
  hdr.sig = GetLE<int32_t>(&plain[8]);
  hdr.numRecord = GetLE<int32_t>(&plain[12]);
  hdr.ver = GetLE<int32_t>(&plain[16]);
  hdr.saveid = GetLE<uint64_t>(&plain[20]);
  hdr.check = GetLE<uint32_t>(&plain[28]);
  std::copy_n(plain.begin(), kPackHeaderSize, hdr.plain.begin());
  if (hdr.sig != kPackMagic) return std::nullopt;
  // Counts that cannot describe a record block inside the file are no
  // directory either (a tampered or torn header).
  if (hdr.numUnused < 0 || hdr.numRecord < 0) return std::nullopt;
  const int64_t b = PackRoundup(
      (static_cast<int64_t>(hdr.numUnused) + hdr.numRecord) * kPackRecordSize, sectorsize);
  if (b > packfilesize - h) return std::nullopt;
  return hdr;
}

bool TPackDirRecord::Load() {
  packfilesize = packfile->Size();
  if (packfilesize == 0) {
    ischanged = true;
    return false;
  }
  if (packfilesize < PackRoundup(kPackHeaderSize, logicalsectorsize) &&
      packfilesize < PackRoundup(kPackHeaderSize, kPackFallbackSectorSize)) {
    ischanged = true;
    return false;
  }
  if (LoadDir()) return true;
  ischanged = true;
  logicalsectorsize = kPackFallbackSectorSize;
  return LoadDir();
}

bool TPackDirRecord::LoadDir() {
  const int32_t s = logicalsectorsize;
  const std::optional<THeader> hdr = ReadHeader(s);
  if (!hdr) {
    numRecord = numUnused = 0;
    attr = 0;
    ver = 0;
    return false;
  }
  numUnused = hdr->numUnused;
  attr = hdr->attr;
  sig = hdr->sig;
  numRecord = hdr->numRecord;
  ver = hdr->ver;
  headersaveid_ = hdr->saveid;
  headercheck_ = hdr->check;
  const int64_t h = PackRoundup(kPackHeaderSize, s);
  const int64_t b = PackRoundup((static_cast<int64_t>(numUnused) + numRecord) * kPackRecordSize, s);
  if (b > 0) {
    endofdata = packfilesize - h - b;
    std::vector<uint8_t> block(static_cast<size_t>(b));
    packfile->SetPosition(endofdata);
    packfile->ReadBuffer(block.data(), b);
    ParseRecords(block.data(), numUnused, numRecord);
  }
  foundsectorsize = s;
  return true;
}

void TPackDirRecord::ParseRecords(const uint8_t* block, int32_t unused, int32_t files) {
  const uint8_t* p = block;
  for (int32_t i = 0; i < unused; ++i, p += kPackRecordSize) {
    auto r = std::make_unique<TPackFileRecord>();
    if (!r->Decode(p)) throw EPackError("A record of the pack directory cannot be decrypted");
    if (!InsideDataArea(*r, endofdata)) {
      ++droppedrecords;
      continue;
    }
    unusedlist.push_back(std::move(r));
  }
  for (int32_t i = 0; i < files; ++i, p += kPackRecordSize) {
    auto r = std::make_unique<TPackFileRecord>();
    if (!r->Decode(p)) throw EPackError("A record of the pack directory cannot be decrypted");
    if (!InsideDataArea(*r, endofdata)) {
      ++droppedrecords;
      continue;
    }
    std::string key = r->Name();
    // A name that could lead outside the folder it is extracted to is left
    // out: the file counts as absent, so a repair fetches it again.
    if (!IsStoredNameSafe(key)) {
      ++droppedrecords;
      unsafenames.push_back(std::move(key));
      continue;
    }
    // A name not in the pack's normal form (a damaged record, another
    // writer's case rules) is found by no lookup and reached by no remove:
    // it is left out like an unsafe one, and a repair fetches the file.
    if (TPackFileRecord::FixName(key) != key) {
      ++droppedrecords;
      continue;
    }
    // A name stored twice (an older writer cut long names and then stored
    // the file again under the cut name): the later record is the newer one.
    if (const auto it = filelist.find(key); it != filelist.end()) {
      ++droppedrecords;
      it->second = std::move(r);
      continue;
    }
    filelist.emplace(std::move(key), std::move(r));
  }
  numUnused = static_cast<int32_t>(unusedlist.size());
  numRecord = static_cast<int32_t>(filelist.size());
  if (droppedrecords > 0) ischanged = true;
}

void TPackDirRecord::LoadDirectory() {
  std::optional<TPackSidecar> sc;
  if (const std::string side = PackSidecarPath(packfilename); platform::FileExists(side)) {
    try {
      TFileStream file(side, TFileMode::OpenRead, TFileShare::DenyNone);
      const int64_t n = file.Size();
      // Read whole into memory only when it can be a directory at all.
      if (n > 0 && n <= kMaxSidecarSize) {
        std::vector<uint8_t> bytes(static_cast<size_t>(n));
        file.ReadBuffer(bytes.data(), n);
        sc = DecodePackSidecar(bytes);
      }
    } catch (const std::exception&) {
      sc.reset();  // an unreadable sidecar is as good as none
    }
  }
  packfilesize = packfile->Size();
  // Every save makes the pack reach its end of data before it writes the
  // sidecar: one whose directory would lie beyond the pack belongs to other
  // bytes.
  if (sc && sc->endofdata > packfilesize) sc.reset();
  if (!sc) {
    Load();
    return;
  }
  // Which directory describes the pack: the pack's own, unless a crash
  // overwrote or tore it since the sidecar's save. A header counts as one
  // of ours only when its id and its check value, which covers the id and
  // the directory it was written with, both match.
  std::optional<THeader> hdr = ReadHeader(logicalsectorsize);
  if (!hdr && logicalsectorsize != kPackFallbackSectorSize)
    hdr = ReadHeader(kPackFallbackSectorSize);
  bool fromsidecar = false;
  if (!hdr) {
    fromsidecar = true;  // overwritten by data added after the save
  } else if (hdr->saveid != 0 && hdr->saveid == sc->saveid) {
    // The header that save wrote, its records overwritten since (else the
    // pack's copy is the sidecar's, byte for byte).
    const int64_t n = static_cast<int64_t>(sc->tail.size());
    const int64_t h = PackRoundup(kPackHeaderSize, sc->sectorsize);
    const int64_t records =
        static_cast<int64_t>(hdr->numUnused + int64_t{hdr->numRecord}) * kPackRecordSize;
    if (records <= n - h &&
        hdr->check ==
            PackDirCheck(std::span<const uint8_t>(hdr->plain.data(), 28),
                         std::span<const uint8_t>(sc->tail.data(), static_cast<size_t>(records)))) {
      fromsidecar = !TailMatches(*sc);
    }
  } else if (hdr->saveid != 0 && hdr->saveid == sc->prevsaveid && hdr->check == sc->prevcheck) {
    fromsidecar = true;  // the save stopped while it rewrote the pack's directory
  }
  // Otherwise the pack was rewritten by another writer, or put back from
  // a copy of another save: its own directory holds.
  if (fromsidecar && LoadFromSidecar(*sc, hdr ? hdr->saveid : 0, hdr ? hdr->check : 0)) {
    RecomputeDigests();
    return;
  }
  Load();
}

bool TPackDirRecord::TailMatches(const TPackSidecar& sc) {
  const int64_t n = static_cast<int64_t>(sc.tail.size());
  if (sc.endofdata > packfilesize || packfilesize - sc.endofdata != n) return false;
  std::vector<uint8_t> disk(static_cast<size_t>(n));
  packfile->SetPosition(sc.endofdata);
  packfile->ReadBuffer(disk.data(), n);
  return disk == sc.tail;
}

bool TPackDirRecord::LoadFromSidecar(const TPackSidecar& sc, uint64_t diskid, uint32_t diskcheck) {
  const int32_t s = sc.sectorsize;
  const int64_t h = PackRoundup(kPackHeaderSize, s);
  const int64_t n = static_cast<int64_t>(sc.tail.size());
  if (n < h || sc.endofdata > packfilesize) return false;
  const std::vector<uint8_t> plain =
      DecryptDirData(std::span<const uint8_t>(sc.tail.data() + (n - h), kPackHeaderSize));
  const int32_t unused = GetLE<int32_t>(&plain[0]);
  const int32_t files = GetLE<int32_t>(&plain[12]);
  if (GetLE<int32_t>(&plain[8]) != kPackMagic || unused < 0 || files < 0) return false;
  const int64_t b = PackRoundup((static_cast<int64_t>(unused) + files) * kPackRecordSize, s);
  if (b + h != n) return false;
  endofdata = b > 0 ? sc.endofdata : 0;
  // The sidecar fits the pack when the bytes of every file it names are in
  // the pack.
  bool fits = true;
  try {
    ParseRecords(sc.tail.data(), unused, files);
    for (const auto& [key, r] : filelist) fits = fits && r->offset + r->size <= packfilesize;
  } catch (const std::exception&) {
    fits = false;
  }
  if (!fits) {
    filelist.clear();
    unusedlist.clear();
    numRecord = numUnused = 0;
    endofdata = 0;
    droppedrecords = 0;
    unsafenames.clear();
    return false;
  }
  attr = GetLE<uint32_t>(&plain[4]);
  ver = GetLE<int32_t>(&plain[16]);
  sig = kPackMagic;
  foundsectorsize = s;
  isrecovered = true;
  ischanged = true;  // the pack's own directory must be written again
  headersaveid_ = diskid;
  headercheck_ = diskcheck;
  return true;
}

void TPackDirRecord::RecomputeDigests() {
  // A directory brought back describes bytes that may have changed since
  // its save (a file replaced in place, a slot reused, a pack put back from
  // a copy): no stored digest is trusted before it is checked.
  for (const auto& [key, r] : filelist) {
    const TBytes d = DigestStored(*r);
    if (!std::equal(d.begin(), d.end(), r->digest.begin())) {
      std::copy(d.begin(), d.end(), r->digest.begin());
      ++recovereddigests;
    }
  }
}

// --- Writing the directory ---------------------------------------------------

bool TPackDirRecord::Save() {
  RequireWritable();
  BeginSave();
  TOnExit done{[this] { EndSave(); }};
  SaveUnderHandshake();
  return true;
}

void TPackDirRecord::SaveUnderHandshake() {
  RequireWritable();
  logicalsectorsize = reallogicalsectorsize;
  sig = kPackMagic;
  ischanged = false;
  isoldversion = false;
  try {
    OptimizeUnusedRecords();
    SaveDir();
  } catch (...) {
    ischanged = true;  // the directory on disk is not the one in memory
    throw;
  }
}

bool TPackDirRecord::SaveDir() {
  RequireWritable();
  const int32_t s = logicalsectorsize;
  std::mt19937_64 rng(
      static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
      std::random_device{}());
  numRecord = static_cast<int32_t>(filelist.size());
  numUnused = static_cast<int32_t>(unusedlist.size());
  const int64_t r = static_cast<int64_t>(numRecord) + numUnused;
  const int64_t b = PackRoundup(r * kPackRecordSize, s);
  const int64_t h = PackRoundup(kPackHeaderSize, s);
  std::vector<uint8_t> tail(static_cast<size_t>(b + h));
  uint8_t* p = tail.data();
  for (const auto& u : unusedlist) {
    const auto enc = u->Encode();
    std::memcpy(p, enc.data(), enc.size());
    p += kPackRecordSize;
  }
  for (const auto& [key, rec] : filelist) {
    const auto enc = rec->Encode();
    std::memcpy(p, enc.data(), enc.size());
    p += kPackRecordSize;
  }
  // Filler behind the records and behind the header is never read.
  Fill(p, tail.data() + b, rng);
  uint64_t saveid = 0;
  while (saveid == 0) saveid = rng();
  uint8_t header[kPackHeaderSize] = {};
  PutLE<int32_t>(&header[0], numUnused);
  PutLE<uint32_t>(&header[4], attr);
  PutLE<int32_t>(&header[8], kPackMagic);
  PutLE<int32_t>(&header[12], numRecord);
  PutLE<int32_t>(&header[16], ver);
  // Bytes 20..31 are free for the writer: the save's id and a check value
  // over it and the records it goes with.
  PutLE<uint64_t>(&header[20], saveid);
  const uint32_t check =
      PackDirCheck(std::span<const uint8_t>(header, 28),
                   std::span<const uint8_t>(tail.data(), static_cast<size_t>(r * kPackRecordSize)));
  PutLE<uint32_t>(&header[28], check);
  const std::vector<uint8_t> enc = EncryptDirData(header);
  uint8_t* hp = tail.data() + b;
  std::memcpy(hp, enc.data(), kPackHeaderSize);
  Fill(hp + kPackHeaderSize, tail.data() + b + h, rng);

  // Data written since the last save reaches the device before any
  // directory that names it, and the pack reaches its end of data (the
  // slack of the last file may not be written yet); then the sidecar, then
  // the pack's own copy.
  if (packfile->Size() < endofdata) packfile->SetSize(endofdata);
  packfile->Flush();
  WriteSidecar(tail, saveid);
  packfile->SetPosition(endofdata);
  packfile->WriteBuffer(tail);
  const int64_t end = endofdata + static_cast<int64_t>(tail.size());
  if (packfile->Size() > end) packfile->SetSize(end);
  packfile->Flush();
  packfilesize = end;
  headersaveid_ = saveid;
  headercheck_ = check;
  return true;
}

void TPackDirRecord::WriteSidecar(const std::vector<uint8_t>& tail, uint64_t saveid) {
  TPackSidecar sc;
  sc.sectorsize = logicalsectorsize;
  sc.endofdata = endofdata;
  sc.saveid = saveid;
  sc.prevsaveid = headersaveid_;
  sc.prevcheck = headercheck_;
  sc.tail = tail;
  const std::string side = PackSidecarPath(packfilename);
  try {
    platform::ReplaceFileDurably(side, EncodePackSidecar(sc));
  } catch (const std::exception&) {
    // Without a fresh sidecar the pack's directory is still written; a stale
    // one must not stand in for it later (its id no longer matches, and it
    // is removed where possible).
    platform::RemoveFileAt(side);
  }
}

// --- Files -------------------------------------------------------------------

bool TPackDirRecord::AddReplaceFile(const std::string& filename, const std::string& folder) {
  const std::string name = TPackFileRecord::FixName(filename);
  TFileStream source(folder + "\\" + name, TFileMode::OpenRead, TFileShare::DenyNone);
  return AddReplaceFile(name, source);
}

bool TPackDirRecord::AddReplaceFile(const std::string& filename, TStream& stream) {
  if (!BeginChange()) return false;
  TOnExit done{[this] { EndChange(); }};
  RequireWritable();
  const std::string name = TPackFileRecord::FixName(filename);
  // Names a later mount would not read back as they are stay out.
  if (name.size() > kPackMaxNameLength) {
    throw EPackError("The name \"" + name + "\" is longer than " +
                     std::to_string(kPackMaxNameLength) + " bytes; not stored");
  }
  if (!IsStoredNameSafe(name)) throw EPackError("Unsafe file name, not stored: \"" + name + "\"");
  const int64_t size = std::max<int64_t>(0, stream.Size() - stream.Position());
  CalculateFileMargin(name, size);  // a file too large raises before anything changes
  TPackFileRecord& r = PlaceFile(name, size);
  ischanged = true;  // the record has its new place even if the copy fails
  packfile->SetPosition(r.offset);
  TMD5 md5;
  const TCopyBuffer buf(std::min(kCopyBlock, std::max<int64_t>(size, 1)));
  for (int64_t left = size; left > 0;) {
    const int64_t n = std::min(kCopyBlock, left);
    stream.ReadBuffer(buf.data(), n);
    packfile->WriteBuffer(buf.data(), n);
    md5.Update(buf.data(), n);
    left -= n;
  }
  r.digest = md5.Final();
  return true;
}

bool TPackDirRecord::RemoveFile(const std::string& filename) {
  if (!BeginChange()) return false;
  TOnExit done{[this] { EndChange(); }};
  const std::string name = TPackFileRecord::FixName(filename);
  const auto it = filelist.find(name);
  if (it != filelist.end()) {
    if (isreadonly) RequireWritable();
    FreeSlot(*it->second);
    filelist.erase(it);
    numRecord = static_cast<int32_t>(filelist.size());
    ischanged = true;
  }
  return true;
}

TBytes TPackDirRecord::DigestStored(const TPackFileRecord& r) {
  RequireFile();
  packfile->SetPosition(r.offset);
  TMD5 md5;
  const TCopyBuffer buf(kCopyBlock);
  for (int64_t left = r.size; left > 0;) {
    const int64_t n = packfile->Read(buf.data(), std::min(kCopyBlock, left));
    if (n <= 0) break;  // the pack ends inside the file: digest what is there
    md5.Update(buf.data(), n);
    left -= n;
  }
  const auto d = md5.Final();
  return TBytes(d.begin(), d.end());
}

bool TPackDirRecord::RecalculateFileDigest(const std::string& filename) {
  const auto it = filelist.find(TPackFileRecord::FixName(filename));
  if (it == filelist.end()) return true;
  TPackFileRecord& r = *it->second;
  const TBytes d = DigestStored(r);
  if (!std::equal(d.begin(), d.end(), r.digest.begin())) {
    std::copy(d.begin(), d.end(), r.digest.begin());
    ischanged = true;
  }
  return true;
}

TBytes TPackDirRecord::ComputeFileDigest(const std::string& filename) {
  const auto it = filelist.find(TPackFileRecord::FixName(filename));
  if (it == filelist.end()) return {};
  return DigestStored(*it->second);
}

TBytes TPackDirRecord::GetFileDigest(const std::string& filename) const {
  TBytes out(16, 0);
  const auto it = filelist.find(TPackFileRecord::FixName(filename));
  if (it != filelist.end())
    std::copy(it->second->digest.begin(), it->second->digest.end(), out.begin());
  return out;
}

bool TPackDirRecord::IsFileExist(const std::string& filename) const {
  return filelist.count(TPackFileRecord::FixName(filename)) != 0;
}

std::vector<std::string> TPackDirRecord::GetFileList() const {
  std::vector<std::string> out;
  out.reserve(filelist.size());
  for (const auto& [key, rec] : filelist) {
    std::string path = "\\" + key;
    std::replace(path.begin(), path.end(), '/', '\\');
    out.push_back(std::move(path));
  }
  return out;
}

bool TPackDirRecord::UnpackFolderToDir(const std::string& foldername,
                                       const std::string& dstfolder, unsigned permissions) {
  const std::string prefix = TPackFileRecord::FixName(foldername) + "/";
  std::vector<const std::pair<const std::string, std::unique_ptr<TPackFileRecord>>*> entries;
  for (const auto& entry : filelist) {
    if (entry.first.compare(0, prefix.size(), prefix) == 0) entries.push_back(&entry);
  }
  ExtractEntries(entries, dstfolder, permissions);
  return true;
}

bool TPackDirRecord::UnpackAllToDir(const std::string& dstfolder) {
  std::vector<const std::pair<const std::string, std::unique_ptr<TPackFileRecord>>*> entries;
  for (const auto& entry : filelist) entries.push_back(&entry);
  ExtractEntries(entries, dstfolder, 0644);
  return true;
}

void TPackDirRecord::ExtractEntries(
    const std::vector<const std::pair<const std::string, std::unique_ptr<TPackFileRecord>>*>&
        entries,
    const std::string& dstfolder, unsigned permissions) {
  // A name that would land outside the destination stops the extraction
  // before anything is written.
  for (const auto* entry : entries) {
    if (!IsSafePackPath(entry->first)) {
      throw EPackError("The pack holds an unsafe file name, not extracted: \"" + entry->first +
                       "\"");
    }
  }
  if (entries.empty()) return;
  RequireFile();
  std::string dst = dstfolder;
  if (dst.empty() || (dst.back() != '\\' && dst.back() != '/')) dst += "\\";
  const TCopyBuffer buf(kCopyBlock);
  std::set<std::string> folders;
  for (const auto* entry : entries) {
    const TPackFileRecord& r = *entry->second;
    const std::string target = dst + entry->first;
    const std::string folder = platform::ExtractFileDir(target);
    if (!folder.empty() && !platform::FolderExists(folder)) {
      bool made = false;
      for (int attempt = 0; attempt < kFolderAttempts && !made; ++attempt) {
        if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        made = platform::ForceFolders(folder);
      }
      if (!made) throw EPackError("Cannot create the folder \"" + folder + "\"");
    }
    // Each file is written whole under a temporary name, forced to the
    // device and renamed over the old one: a power cut leaves the old file
    // or the new one, and a program that runs from the old file (which
    // cannot be opened for writing) keeps it while the name moves on.
    // The temporary name is short, so a name near the file system's length
    // limit still extracts.
    const std::string temp = (folder.empty() ? std::string() : folder + "\\") + ".extracting";
    try {
      TFileStream out(temp, TFileMode::Create, TFileShare::DenyWrite, permissions);
      out.ChangeMode(permissions);
      packfile->SetPosition(r.offset);
      for (int64_t left = r.size; left > 0;) {
        const int64_t n = std::min(kCopyBlock, left);
        packfile->ReadBuffer(buf.data(), n);
        out.WriteBuffer(buf.data(), n);
        left -= n;
      }
      out.Flush();
    } catch (...) {
      platform::RemoveFileAt(temp);
      throw;
    }
    if (!platform::RenameFileAt(temp, target)) {
      const int err = errno;
      platform::RemoveFileAt(temp);
      throw EOSError("Cannot replace \"" + target + "\"", err);
    }
    folders.insert(folder);
  }
  // The renames reach the device before the caller records the new state.
  for (const std::string& folder : folders) {
    if (!platform::SyncFolder(folder)) {
      throw EOSError("Cannot flush the folder \"" + folder + "\"", errno);
    }
  }
}

}  // namespace vantrel
