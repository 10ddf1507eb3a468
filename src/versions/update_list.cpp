#include "versions/update_list.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string_view>

#include "pack/pack_limits.h"
#include "platform/errors.h"
#include "platform/files.h"

namespace vantrel {

namespace {

// The unpacked body of a list is held in memory while it is parsed; a body
// that unpacks to more than this is refused instead of exhausting memory
// (a real list of a large client unpacks to a few MiB).
constexpr int64_t kMaxBodySize = int64_t{512} * 1024 * 1024;
// Zero-filled check slots a single list may allocate for layouts that do
// not store the values (16 Mi slots = 8 TiB of transfer forms at least).
constexpr int64_t kMaxImplicitSlots = int64_t{16} * 1024 * 1024;

// The largest transfer form of a file the pack can hold: the file itself
// when it travels as it is, its zlib stream (which may be a little larger
// than the file: zlib's bound for stored blocks) when compressed.
constexpr int64_t kMaxPlainTransferSize = kPackMaxFileSize;
constexpr int64_t kMaxPackedTransferSize = kPackMaxFileSize + (kPackMaxFileSize >> 12) +
                                           (kPackMaxFileSize >> 14) + (kPackMaxFileSize >> 25) +
                                           13 + 6;

// A memory stream that refuses to grow past a limit: the unpacker then
// fails like on corrupt data.
class TBoundedMemoryStream : public TMemoryStream {
 public:
  explicit TBoundedMemoryStream(int64_t limit) : limit_(limit) {}
  int64_t Write(const void* buffer, int64_t count) override {
    if (Position() + count > limit_) throw EWriteError("Unpacked version list is too large");
    return TMemoryStream::Write(buffer, count);
  }

 private:
  int64_t limit_;
};

// Raised inside the parser when the data ends or holds a malformed value;
// ends the reading of entries.
struct TListDataEnd {};

// Reads the little-endian fields of an unpacked body.
class TBodyReader {
 public:
  TBodyReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool AtEnd() const { return pos_ >= size_; }
  size_t Left() const { return size_ - pos_; }

  void Raw(void* out, size_t n) {
    if (Left() < n) throw TListDataEnd{};
    std::memcpy(out, data_ + pos_, n);
    pos_ += n;
  }
  uint8_t U8() {
    uint8_t v;
    Raw(&v, 1);
    return v;
  }
  bool Bool() { return U8() != 0; }
  int32_t I32() {
    uint8_t b[4];
    Raw(b, 4);
    return static_cast<int32_t>(uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 |
                                uint32_t{b[3]} << 24);
  }
  uint32_t U32() { return static_cast<uint32_t>(I32()); }
  int64_t I64() {
    uint8_t b[8];
    Raw(b, 8);
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | b[i];
    return static_cast<int64_t>(v);
  }
  double F64() {
    const int64_t bits = I64();
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
  }
  // 7-bit groups, least significant first, at most 5 bytes; the count is a
  // signed 32-bit value and must not be negative.
  std::string String() {
    uint32_t len = 0;
    for (int i = 0;; ++i) {
      if (i == 5) throw TListDataEnd{};
      const uint8_t b = U8();
      len |= static_cast<uint32_t>(b & 0x7F) << (7 * i);
      if ((b & 0x80) == 0) break;
    }
    if (static_cast<int32_t>(len) < 0 || len > Left()) throw TListDataEnd{};
    std::string s(reinterpret_cast<const char*>(data_ + pos_), len);
    pos_ += len;
    return s;
  }
  // Up to n bytes; fewer when the data ends first.
  TBytes Bytes(size_t n) {
    const size_t take = std::min(n, Left());
    TBytes b(data_ + pos_, data_ + pos_ + take);
    pos_ += take;
    return b;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// Appends the little-endian fields of a body being written.
class TBodyWriter {
 public:
  void Raw(const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    out_.insert(out_.end(), b, b + n);
  }
  void U8(uint8_t v) { out_.push_back(v); }
  void Bool(bool v) { U8(v ? 1 : 0); }
  void U32(uint32_t v) {
    for (int i = 0; i < 4; ++i) U8(static_cast<uint8_t>(v >> (8 * i)));
  }
  void I32(int32_t v) { U32(static_cast<uint32_t>(v)); }
  void I64(int64_t v) {
    const auto u = static_cast<uint64_t>(v);
    for (int i = 0; i < 8; ++i) U8(static_cast<uint8_t>(u >> (8 * i)));
  }
  void F64(double v) {
    int64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    I64(bits);
  }
  void String(const std::string& s) {
    auto len = static_cast<uint32_t>(s.size());
    do {
      uint8_t b = len & 0x7F;
      len >>= 7;
      if (len != 0) b |= 0x80;
      U8(b);
    } while (len != 0);
    Raw(s.data(), s.size());
  }
  TBytes& Bytes() { return out_; }

 private:
  TBytes out_;
};

bool StoresChunkCRCs(int32_t structversion, bool foldersplit) {
  return structversion >= 2 && !(structversion == 4 && foldersplit);
}

bool StoresPosInFile(int32_t structversion, bool foldersplit) {
  return structversion >= 5 && foldersplit;
}

bool HasFolderTable(int32_t structversion, bool foldersplit) {
  return structversion == 4 && foldersplit;
}

// The text a key's entry shares with its neighbours from layout 3 on; the
// folder of a file at the top of the game folder is "\".
std::string FolderOf(const std::string& key) {
  const size_t p = key.rfind('\\');
  if (p == std::string::npos) return std::string();
  if (p == 0) return "\\";
  return key.substr(0, p);
}

// Case-insensitive order of keys, ties broken by the exact bytes so that
// keys differing only in case come out in a fixed order.
bool KeyLess(const std::string& a, const std::string& b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const int ca = std::tolower(static_cast<unsigned char>(a[i]));
    const int cb = std::tolower(static_cast<unsigned char>(b[i]));
    if (ca != cb) return ca < cb;
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

bool IsDeviceName(std::string_view component) {
  std::string_view stem = component.substr(0, component.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
  // Every device name has 3, 4, 6 or 7 letters.
  if (stem.size() < 3 || stem.size() > 7 || stem.size() == 5) return false;
  std::string upper(stem);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  static const char* const kNames[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* name : kNames) {
    if (upper == name) return true;
  }
  if (upper.size() == 4 && (upper.starts_with("COM") || upper.starts_with("LPT")) &&
      upper[3] >= '0' && upper[3] <= '9') {
    return true;
  }
  return false;
}

}  // namespace

std::vector<std::string> SplitExclude(const std::string& exclude) {
  std::vector<std::string> items;
  if (exclude.empty()) return items;
  size_t i = 0;
  for (;;) {
    std::string item;
    if (i < exclude.size() && exclude[i] == '"') {
      ++i;
      while (i < exclude.size()) {
        if (exclude[i] == '"') {
          if (i + 1 < exclude.size() && exclude[i + 1] == '"') {
            item += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        item += exclude[i++];
      }
    }
    while (i < exclude.size() && exclude[i] != ';') item += exclude[i++];
    items.push_back(std::move(item));
    if (i >= exclude.size()) break;
    ++i;  // the ";"; one at the very end leaves an empty last item
  }
  return items;
}

bool IsCompressedByRule(const std::string& key, bool compressall,
                        const std::vector<std::string>& excludeitems) {
  bool match = false;
  for (const std::string& item : excludeitems) {
    if (key.ends_with(item)) {
      match = true;
      break;
    }
  }
  return compressall != match;
}

void TUpdateList::AddFile(const std::string& key, std::unique_ptr<TUpdateFile> file) {
  if (filelist.contains(key)) throw EVantrelError("Duplicates not allowed");
  filelist.emplace(key, std::move(file));
}

bool TUpdateList::IsSafeKey(const std::string& key) {
  if (key.size() < 2 || key[0] != '\\') return false;
  const std::string_view all(key);
  size_t start = 1;
  for (;;) {
    const size_t end = all.find('\\', start);
    const std::string_view component =
        all.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (component.empty() || component == "." || component == "..") return false;
    for (const char c : component) {
      if (c == '\0' || c == '/' || c == ':') return false;
    }
    if (IsDeviceName(component)) return false;
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return true;
}

bool TUpdateList::LoadFromStream(TStream& stream, bool isbuilder) {
  // The digest over everything after it.
  stream.SetPosition(0);
  uint8_t stored[16] = {};
  stream.Read(stored, 16);
  stream.SetPosition(std::min<int64_t>(16, stream.Size()));
  const TBytes actual = GetStreamMD5(stream);
  if (stream.Size() < 16 || std::memcmp(stored, actual.data(), 16) != 0) return false;

  // Whole-body form first, the raw-header form when that does not unpack.
  TUpdateList loaded;
  bool rawentriesonly = false;
  TBoundedMemoryStream body(kMaxBodySize);
  stream.SetPosition(16);
  if (!DecompressStream(stream, body)) {
    body.Clear();
    stream.SetPosition(16);
    uint8_t raw[13] = {};
    const int64_t got = stream.Read(raw, 13);
    TBodyReader rawreader(raw, static_cast<size_t>(got));
    try {
      loaded.structversion = rawreader.U8();
      loaded.updateversion = rawreader.I32();
      loaded.fullunpakedsize = rawreader.I64();
    } catch (const TListDataEnd&) {
    }
    // A raw header of layout 1 is followed by the entries alone; any other
    // value is replaced by the header inside the packed data.
    rawentriesonly = loaded.structversion == 1;
    stream.SetPosition(std::min<int64_t>(29, stream.Size()));
    DecompressStream(stream, body);
  }

  TBodyReader in(body.Memory(), static_cast<size_t>(body.Size()));
  bool refused = false;
  try {
    if (!rawentriesonly) {
      loaded.structversion = in.U8();
      loaded.updateversion = in.I32();
      loaded.fullunpakedsize = in.I64();
      if (loaded.structversion >= 3) {
        loaded.compressall = in.Bool();
        loaded.exclude = in.String();
      }
      if (loaded.structversion >= 4) loaded.foldersplit = in.Bool();
    }
    const int32_t sv = loaded.structversion;
    const std::vector<std::string> excludeitems = SplitExclude(loaded.exclude);
    if (HasFolderTable(sv, loaded.foldersplit)) {
      const int32_t count = in.I32();
      for (int32_t i = 0; i < count; ++i) {
        in.String();
        const int64_t size = in.I64();
        if (size < 0) throw TListDataEnd{};
        const int64_t crcs = size / GetChunkSize(size) + 1;
        if (static_cast<uint64_t>(crcs) * 4 > in.Left()) throw TListDataEnd{};
        in.Bytes(static_cast<size_t>(crcs) * 4);
      }
    }
    const bool crcsstored = StoresChunkCRCs(sv, loaded.foldersplit);
    const bool posstored = StoresPosInFile(sv, loaded.foldersplit);
    std::string folder;
    int64_t implicitslots = 0;
    while (!in.AtEnd()) {
      const std::string name = in.String();
      std::string key;
      if (sv >= 3 && name.find('\\') == std::string::npos) {
        // A file at the top of the game folder has the folder "\": its
        // neighbours are "\" + name, not "\\" + name.
        key.reserve(folder.size() + 1 + name.size());
        if (folder != "\\") key += folder;
        key += '\\';
        key += name;
      } else {
        key = name;
        if (sv >= 3) folder = FolderOf(key);
      }
      auto file = std::make_unique<TUpdateFile>();
      file->size = in.I64();
      // A negative size has no chunk layout; a count that does not fit the
      // 32-bit chunk counter cannot be fetched.
      if (file->size < 0) throw TListDataEnd{};
      const int64_t chunks = file->size / GetChunkSize(file->size) + 1;
      if (chunks > std::numeric_limits<int32_t>::max()) throw TListDataEnd{};
      file->hash = in.Bytes(16);
      file->chunksize = GetChunkSize(file->size);
      file->chunkcount = static_cast<int32_t>(chunks);
      if (crcsstored) {
        if (static_cast<uint64_t>(chunks) * 4 > in.Left()) throw TListDataEnd{};
      } else {
        implicitslots += chunks;
        if (implicitslots > kMaxImplicitSlots) throw TListDataEnd{};
      }
      file->compressed = true;
      if (sv == 2) {
        file->compressed = in.Bool();
      } else if (sv >= 3) {
        file->compressed = IsCompressedByRule(key, loaded.compressall, excludeitems);
      }
      // An entry the pack could not store fails the whole list: its name
      // would be cut in the pack's record, or no slot could hold it.
      if (PackNameLengthOf(key) > kPackMaxNameLength ||
          file->size > (file->compressed ? kMaxPackedTransferSize : kMaxPlainTransferSize)) {
        refused = true;
        break;
      }
      file->chunkcrc32.assign(static_cast<size_t>(chunks), 0);
      if (crcsstored) {
        for (uint32_t& crc : file->chunkcrc32) {
          uint8_t b[4];
          in.Raw(b, 4);
          crc = uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
        }
      }
      if (posstored) {
        file->posinfile = in.I64();
        if (file->posinfile < 0) file->posinfile = -1;
        if (file->posinfile > std::numeric_limits<int64_t>::max() - file->size) {
          throw TListDataEnd{};
        }
      }
      if (isbuilder) {
        file->buildersize = in.I64();
        file->builderdate = in.F64();
      }
      // One walk of the table finds a second entry under the key and the
      // place of a new one.
      const auto place = loaded.filelist.lower_bound(key);
      if (place != loaded.filelist.end() && place->first == key) throw TListDataEnd{};
      // The one check of keys from outside: a key that could leave the
      // game folder or the download folder condemns the whole list.
      if (!IsSafeKey(key)) {
        refused = true;
        break;
      }
      loaded.filelist.emplace_hint(place, std::move(key), std::move(file));
    }
  } catch (const TListDataEnd&) {
    // Reading ends here; what was read stays.
  }

  if (refused) {
    *this = TUpdateList();
    return false;
  }
  *this = std::move(loaded);
  return updateversion > 0;
}

bool TUpdateList::LoadFromFile(const std::string& filename, bool isbuilder) {
  if (!platform::FileExists(filename)) {
    updateversion = -1;
    return false;
  }
  TFileStream f(filename, TFileMode::OpenRead, TFileShare::DenyNone);
  LoadFromStream(f, isbuilder);
  return updateversion > 0;
}

TBytes TUpdateList::SaveToBytes(bool isbuilder) const {
  const int32_t sv = structversion & 0xFF;
  TBodyWriter w;
  w.U8(static_cast<uint8_t>(sv));
  w.I32(updateversion);
  w.I64(fullunpakedsize);
  if (sv >= 3) {
    w.Bool(compressall);
    w.String(exclude);
  }
  if (sv >= 4) w.Bool(foldersplit);

  std::vector<const std::string*> keys;
  keys.reserve(filelist.size());
  for (const auto& [key, file] : filelist) {
    if (file->hash.size() != 16) {
      throw EVantrelError("Version list entry " + key + " has no 16-byte digest");
    }
    if (static_cast<int64_t>(file->chunkcrc32.size()) != GetChunkCount(file->size)) {
      throw EVantrelError(
          "Version list entry " + key + " has " + std::to_string(file->chunkcrc32.size()) +
          " chunk check values, its size needs " + std::to_string(GetChunkCount(file->size)));
    }
    keys.push_back(&key);
  }
  std::sort(keys.begin(), keys.end(),
            [](const std::string* a, const std::string* b) { return KeyLess(*a, *b); });

  if (HasFolderTable(sv, foldersplit)) {
    // One record per folder: its name and the size of its combined transfer
    // file; the chunk values are left 0 (no check). Readers skip the table.
    std::map<std::string, int64_t> folders;
    for (const auto& [key, file] : filelist) {
      int64_t& end = folders[FolderOf(key)];
      end = std::max(end, std::max<int64_t>(file->posinfile, 0) + file->size);
    }
    w.I32(static_cast<int32_t>(folders.size()));
    for (const auto& [folder, size] : folders) {
      w.String(folder);
      w.I64(size);
      for (int32_t i = 0; i < GetChunkCount(size); ++i) w.U32(0);
    }
  }

  const bool crcs = StoresChunkCRCs(sv, foldersplit);
  const bool pos = StoresPosInFile(sv, foldersplit);
  std::string previous;
  for (const std::string* key : keys) {
    const TUpdateFile& file = *filelist.at(*key);
    const std::string folder = FolderOf(*key);
    if (sv < 3 || folder != previous || folder == "\\") {
      w.String(*key);
      previous = folder;
    } else {
      w.String(key->substr(key->rfind('\\') + 1));
    }
    w.I64(file.size);
    w.Raw(file.hash.data(), file.hash.size());
    if (sv == 2) w.Bool(file.compressed);
    if (crcs) {
      for (const uint32_t crc : file.chunkcrc32) {
        // Held as the digest bytes read little-endian: written back as held.
        w.U32(crc);
      }
    }
    if (pos) w.I64(file.posinfile);
    if (isbuilder) {
      w.I64(file.buildersize);
      w.F64(file.builderdate);
    }
  }

  TMemoryStream plain(std::move(w.Bytes()));
  TMemoryStream out;
  out.SetSize(16);
  out.SetPosition(16);
  if (!CompressStream(plain, out)) throw EStreamError("Version list could not be packed");
  out.SetPosition(16);
  const TBytes digest = GetStreamMD5(out);
  out.SetPosition(0);
  out.WriteBuffer(digest.data(), 16);
  return out.TakeBytes();
}

void TUpdateList::SaveToFile(const std::string& filename, bool isbuilder) const {
  const TBytes bytes = SaveToBytes(isbuilder);
  TFileStream f(filename, TFileMode::Create);
  f.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
}

}  // namespace vantrel
