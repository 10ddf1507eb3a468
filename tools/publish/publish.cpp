#include "publish/publish.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <limits>
#include <map>
#include <optional>
#include <set>

#include "pack/pack_limits.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/stream.h"
#include "publish/release_signing.h"
#include "versions/update_list.h"
#include "versions/update_utils.h"
#include "versions/version_records.h"

namespace vantrel::publish {

namespace fs = std::filesystem;

namespace {

constexpr const char* kHashReplacement = "11223344556677889900";
constexpr const char* kTempSuffix = ".vantrel-tmp";

std::string UrlForm(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '\\') {
      out += '/';
    } else if (c == '#') {
      out += kHashReplacement;
    } else {
      out += c;
    }
  }
  return out;
}

std::string DropLeadingSlash(std::string path) {
  if (!path.empty() && path[0] == '/') path.erase(0, 1);
  return path;
}

// One file of the client folder.
struct TSourceFile {
  std::string key;
  std::string path;  // system path
  int64_t size = 0;
  double date = 0;  // modification time as days since 1899-12-30
  TBytes hash;      // MD5 of the contents, filled by the publish
};

double FileDate(const struct stat& st) {
  const double seconds =
      static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) / 1e9;
  return 25569.0 + seconds / 86400.0;
}

std::string FolderKeyOf(const std::string& key) {
  const size_t p = key.rfind('\\');
  return p == 0 ? "\\" : key.substr(0, p);
}

std::vector<TSourceFile> ScanClient(const std::string& clientdir) {
  std::vector<TSourceFile> files;
  std::error_code ec;
  fs::recursive_directory_iterator it(clientdir, ec), end;
  if (ec) throw EVantrelError("Cannot read the client folder " + clientdir + ": " + ec.message());
  for (; it != end; it.increment(ec)) {
    if (ec) throw EVantrelError("Cannot read the client folder " + clientdir + ": " + ec.message());
    const fs::path& p = it->path();
    struct stat st {};
    if (::stat(p.c_str(), &st) != 0) {
      throw EVantrelError("Cannot read " + p.string() + ": " + std::strerror(errno));
    }
    if (S_ISDIR(st.st_mode)) continue;
    if (!S_ISREG(st.st_mode)) {
      throw EVantrelError("Not a regular file, cannot be published: " + p.string());
    }
    const std::string rel = fs::relative(p, clientdir).generic_string();
    if (rel.find('\\') != std::string::npos) {
      throw EVantrelError("A file name with a backslash cannot be published: " + p.string());
    }
    std::string key = "\\" + rel;
    std::replace(key.begin(), key.end(), '/', '\\');
    if (!TUpdateList::IsSafeKey(key)) {
      throw EVantrelError("This file name cannot be published (reserved or unsafe name): " +
                          p.string());
    }
    // What the client's pack cannot hold would fail the list on every client.
    const std::string packname = PackNameOf(key);
    if (packname.size() > kPackMaxNameLength) {
      throw EVantrelError("This file name is " + std::to_string(packname.size()) +
                          " bytes long in the client's pack, longer than " +
                          std::to_string(kPackMaxNameLength) +
                          " bytes; cannot be published: " + p.string());
    }
    if (st.st_size > kPackMaxFileSize) {
      throw EVantrelError("This file is too large for the client's pack (" +
                          std::to_string(st.st_size) + " bytes, at most " +
                          std::to_string(kPackMaxFileSize) +
                          "); cannot be published: " + p.string());
    }
    files.push_back({key, p.string(), static_cast<int64_t>(st.st_size), FileDate(st), {}});
  }
  std::sort(files.begin(), files.end(),
            [](const TSourceFile& a, const TSourceFile& b) { return a.key < b.key; });
  // Names that differ only in letter case share one entry of the pack: one
  // of them would always be wrong there.
  std::map<std::string, const TSourceFile*> packnames;
  for (const TSourceFile& f : files) {
    const auto [twin, fresh] = packnames.emplace(PackNameOf(f.key), &f);
    if (!fresh) {
      throw EVantrelError(
          "These files differ only in letter case and would share one entry of the client's "
          "pack; rename one: " +
          twin->second->path + " and " + f.path);
    }
  }
  return files;
}

// The transfer form of one source file appended at dest's position: the
// zlib stream when compressed, the file's bytes otherwise. Returns its size.
int64_t AppendTransferForm(const TSourceFile& src, bool compressed, TStream& dest) {
  TFileStream in(src.path, TFileMode::OpenRead, TFileShare::DenyNone);
  const int64_t start = dest.Position();
  if (compressed) {
    if (!CompressStream(in, dest)) throw EVantrelError("Could not pack " + src.path);
  } else {
    dest.CopyFrom(in);
  }
  return dest.Position() - start;
}

std::vector<uint32_t> ChunkValues(TStream& transfer, int64_t pos, int64_t size) {
  std::vector<uint32_t> values(static_cast<size_t>(GetChunkCount(size)), 0);
  const int64_t chunk = GetChunkSize(size);
  for (size_t i = 0; i < values.size(); ++i) {
    const int64_t first = static_cast<int64_t>(i) * chunk;
    const int64_t len = std::min(first + chunk, size) - first;
    if (len <= 0) continue;  // the empty last chunk is never fetched
    transfer.SetPosition(pos + first);
    values[i] = GetStreamCRC32Value(transfer, len);
  }
  return values;
}

// Whether the previous publish's transfer form still serves the file: the
// same contents (by digest, whatever the size and time say: a file changed
// in place may keep both), the same compression, and a whole entry.
bool SameBuild(const TUpdateFile* old, const TSourceFile& src, bool compressed) {
  return old != nullptr && old->buildersize == src.size && old->hash == src.hash &&
         old->compressed == compressed && old->hash.size() == 16 &&
         static_cast<int64_t>(old->chunkcrc32.size()) == GetChunkCount(old->size);
}

void CommitTemp(const std::string& temp, const std::string& final) {
  if (!platform::RenameFileAt(temp, final)) {
    throw EVantrelError("Cannot move " + temp + " to " + final + ": " + std::strerror(errno));
  }
}

void WriteWholeFile(const std::string& path, const TBytes& bytes) {
  TFileStream f(path, TFileMode::Create);
  f.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
  f.Flush();
}

// Refuses two transfer files on one path, or a file where another needs a
// folder.
void CheckPathsApart(const std::map<std::string, std::string>& paths) {
  std::map<std::string, std::string> folders;
  for (const auto& [path, owner] : paths) {
    for (size_t p = path.find('/'); p != std::string::npos; p = path.find('/', p + 1)) {
      folders.emplace(path.substr(0, p), owner);
    }
  }
  for (const auto& [path, owner] : paths) {
    const auto f = folders.find(path);
    if (f != folders.end()) {
      throw EVantrelError("Transfer file of " + owner + " (" + path + ") would sit where " +
                          f->second + " needs a folder");
    }
  }
}

}  // namespace

std::string TransferPathOfKey(const std::string& key) {
  return DropLeadingSlash(UrlForm(key)) + ".u";
}

std::string TransferPathOfFolder(const std::string& key) {
  std::string folder = FolderKeyOf(key);
  if (!folder.empty() && folder.back() == '\\') folder.pop_back();
  return DropLeadingSlash(UrlForm(folder)) + ".u";
}

TPublishResult Publish(const TPublishOptions& o) {
  auto report = [&](const std::string& line) {
    if (o.progress) o.progress(line);
  };

  // Options.
  if (o.updateversion <= 0) throw EVantrelError("The update version must be a positive integer");
  if (o.layout < 3 || o.layout > 5) throw EVantrelError("The layout must be 3, 4 or 5");
  if (o.foldersplit && o.layout != 5) {
    throw EVantrelError(
        "The folder-split layout needs layout 5: layout 4 lists carry no file positions");
  }
  if (!platform::FolderExists(o.clientdir)) {
    throw EVantrelError("Client folder not found: " + o.clientdir);
  }
  struct stat lst {};
  if (::stat(o.launcherfile.c_str(), &lst) != 0 || !S_ISREG(lst.st_mode)) {
    throw EVantrelError("Launcher file not found: " + o.launcherfile);
  }
  if (::access(o.launcherfile.c_str(), R_OK) != 0) {
    throw EVantrelError("Launcher file cannot be read: " + o.launcherfile);
  }
  const std::string launchername =
      o.launchername.empty() ? fs::path(o.launcherfile).filename().string() : o.launchername;
  const std::string launcherkey = o.launcherfolder + launchername;
  if (launchername.find_first_of("\\/") != std::string::npos ||
      !TUpdateList::IsSafeKey(launcherkey)) {
    throw EVantrelError("Launcher folder and name do not form a path under the game folder: " +
                        launcherkey);
  }
  if (!platform::ForceFolders(o.outdir)) {
    throw EVantrelError("Cannot create the server folder " + o.outdir + ": " +
                        std::strerror(errno));
  }
  {
    const fs::path client = fs::weakly_canonical(o.clientdir);
    const fs::path out = fs::weakly_canonical(o.outdir);
    auto inside = [](const fs::path& a, const fs::path& b) {
      auto [ia, ib] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
      return ib == b.end();  // b is a prefix of a
    };
    if (inside(out, client) || inside(client, out)) {
      throw EVantrelError("The client folder and the server folder must not contain each other");
    }
  }
  const std::string out = o.outdir + "/";
  // The key first: a bad key or a signed tree published unsigned changes nothing.
  std::optional<TReleaseSigningKey> signkey;
  if (!o.signkeyfile.empty()) {
    if (o.validseconds <= 0) throw EVantrelError("The validity must be positive");
    signkey = TReleaseSigningKey::Load(o.signkeyfile);
  } else if (platform::FileExists(out + kReleaseRecordName)) {
    throw EVantrelError("This tree is signed (" + out + kReleaseRecordName +
                        "): publish it with --sign-key, or delete that file to stop signing");
  }

  std::vector<TSourceFile> sources = ScanClient(o.clientdir);
  // Unchanged is decided by contents: every file is read once for its digest.
  for (TSourceFile& src : sources) src.hash = GetFileMD5(src.path);

  // The previous publish, as the builder list remembers it.
  TUpdateList old;
  bool haveold = false;
  if (platform::FileExists(out + kBuilderListName)) {
    haveold = old.LoadFromFile(out + kBuilderListName, true);
    if (!haveold) old = TUpdateList();
  }
  auto oldentry = [&](const std::string& key) -> const TUpdateFile* {
    const auto it = old.filelist.find(key);
    return it == old.filelist.end() ? nullptr : it->second.get();
  };

  TUpdateList list;
  list.structversion = o.layout;
  list.updateversion = o.updateversion;
  list.compressall = o.compressall;
  list.exclude = o.exclude;
  list.foldersplit = o.foldersplit;
  const std::vector<std::string> excludeitems = SplitExclude(o.exclude);

  TPublishResult result;
  result.files = static_cast<int>(sources.size());
  for (const TSourceFile& s : sources) list.fullunpakedsize += s.size;

  // Server paths of this publish, checked before anything is written.
  std::map<std::string, std::string> paths;  // path -> key that owns it
  auto claim = [&](const std::string& path, const std::string& owner) {
    const auto [it, fresh] = paths.emplace(path, owner);
    if (!fresh && it->second != owner) {
      throw EVantrelError("Transfer files of " + it->second + " and " + owner +
                          " would have the same name " + path +
                          " (\"#\" is sent as 11223344556677889900)");
    }
  };
  std::map<std::string, std::vector<const TSourceFile*>> byfolder;  // folder path -> files
  for (const TSourceFile& s : sources) {
    if (o.foldersplit) {
      const std::string path = TransferPathOfFolder(s.key);
      claim(path, FolderKeyOf(s.key));
      byfolder[path].push_back(&s);
    } else {
      claim(TransferPathOfKey(s.key), s.key);
    }
  }
  const std::string launcherpath = TransferPathOfKey(launcherkey);
  claim(launcherpath, "the launcher " + launcherkey);
  CheckPathsApart(paths);

  auto newentry = [&](const TSourceFile& s) {
    auto e = std::make_unique<TUpdateFile>();
    e->compressed = IsCompressedByRule(s.key, o.compressall, excludeitems);
    e->buildersize = s.size;
    e->builderdate = s.date;
    return e;
  };

  if (!o.foldersplit) {
    for (const TSourceFile& s : sources) {
      auto e = newentry(s);
      const std::string path = TransferPathOfKey(s.key);
      const TUpdateFile* prev = haveold && !old.foldersplit ? oldentry(s.key) : nullptr;
      if (SameBuild(prev, s, e->compressed) && platform::FileSizeOf(out + path) == prev->size) {
        e->size = prev->size;
        e->hash = prev->hash;
        e->chunkcrc32 = prev->chunkcrc32;
        ++result.kept;
      } else {
        if (!platform::ForceFolders(platform::ExtractFileDir(out + path))) {
          throw EVantrelError("Cannot create the folder of " + out + path);
        }
        const std::string temp = out + path + kTempSuffix;
        {
          TFileStream t(temp, TFileMode::Create);
          e->size = AppendTransferForm(s, e->compressed, t);
          e->chunkcrc32 = ChunkValues(t, 0, e->size);
        }
        e->hash = s.hash;
        CommitTemp(temp, out + path);
        ++result.written;
        report("wrote " + path + " (" + std::to_string(e->size) + " bytes)");
      }
      e->chunksize = GetChunkSize(e->size);
      e->chunkcount = GetChunkCount(e->size);
      list.AddFile(s.key, std::move(e));
    }
  } else {
    // Which folders the previous publish had, and with which files.
    std::map<std::string, std::set<std::string>> oldfolders;
    if (haveold && old.foldersplit) {
      for (const auto& [key, e] : old.filelist) oldfolders[TransferPathOfFolder(key)].insert(key);
    }
    for (const auto& [path, files] : byfolder) {
      std::vector<std::unique_ptr<TUpdateFile>> entries;
      bool unchanged = oldfolders.contains(path) && oldfolders[path].size() == files.size();
      int64_t oldend = 0;
      for (const TSourceFile* s : files) {
        entries.push_back(newentry(*s));
        const TUpdateFile* prev = oldfolders.contains(path) ? oldentry(s->key) : nullptr;
        if (!SameBuild(prev, *s, entries.back()->compressed)) unchanged = false;
        if (prev != nullptr) oldend = std::max(oldend, prev->posinfile + prev->size);
      }
      if (unchanged && platform::FileSizeOf(out + path) != oldend) unchanged = false;

      if (unchanged) {
        for (size_t i = 0; i < files.size(); ++i) {
          const TUpdateFile* prev = oldentry(files[i]->key);
          entries[i]->size = prev->size;
          entries[i]->hash = prev->hash;
          entries[i]->chunkcrc32 = prev->chunkcrc32;
          entries[i]->posinfile = prev->posinfile;
        }
        ++result.kept;
      } else {
        if (!platform::ForceFolders(platform::ExtractFileDir(out + path))) {
          throw EVantrelError("Cannot create the folder of " + out + path);
        }
        // Files that did not change are copied from the previous folder file
        // instead of being packed again.
        std::unique_ptr<TFileStream> previous;
        if (oldfolders.contains(path) && platform::FileExists(out + path)) {
          previous = std::make_unique<TFileStream>(out + path, TFileMode::OpenRead);
        }
        const std::string temp = out + path + kTempSuffix;
        {
          TFileStream t(temp, TFileMode::Create);
          for (size_t i = 0; i < files.size(); ++i) {
            TUpdateFile& e = *entries[i];
            const TUpdateFile* prev = oldentry(files[i]->key);
            e.posinfile = t.Position();
            if (previous && SameBuild(prev, *files[i], e.compressed) && prev->posinfile >= 0 &&
                prev->posinfile + prev->size <= previous->Size()) {
              previous->SetPosition(prev->posinfile);
              t.CopyFrom(*previous, prev->size);
              e.size = prev->size;
              e.hash = prev->hash;
            } else {
              e.size = AppendTransferForm(*files[i], e.compressed, t);
              e.hash = files[i]->hash;
            }
            t.SetPosition(e.posinfile + e.size);
          }
          for (auto& e : entries) {
            e->chunkcrc32 = ChunkValues(t, e->posinfile, e->size);
          }
          result.written += 1;
          report("wrote " + path + " (" + std::to_string(t.Size()) + " bytes, " +
                 std::to_string(files.size()) + " files)");
        }
        previous.reset();
        CommitTemp(temp, out + path);
      }
      for (size_t i = 0; i < files.size(); ++i) {
        entries[i]->chunksize = GetChunkSize(entries[i]->size);
        entries[i]->chunkcount = GetChunkCount(entries[i]->size);
        list.AddFile(files[i]->key, std::move(entries[i]));
      }
    }
  }

  // The launcher's transfer file.
  const TBytes launcherhash = GetFileMD5(o.launcherfile);
  TLauncherVersionRecord launcher;
  std::copy_n(launcherhash.begin(), 16, launcher.launcherhash.begin());
  {
    TLauncherVersionRecord prev;
    bool keep = false;
    if (platform::FileExists(out + "launcher.version")) {
      TMemoryStream m;
      m.LoadFromFile(out + "launcher.version");
      keep = prev.Parse(m) && prev.IsDigestValid() && prev.launcherhash == launcher.launcherhash &&
             platform::FileSizeOf(out + launcherpath) == prev.launchersize;
    }
    if (keep) {
      launcher.launchersize = prev.launchersize;
      ++result.kept;
    } else {
      if (!platform::ForceFolders(platform::ExtractFileDir(out + launcherpath))) {
        throw EVantrelError("Cannot create the folder of " + out + launcherpath);
      }
      const std::string temp = out + launcherpath + kTempSuffix;
      int64_t size = 0;
      {
        TFileStream t(temp, TFileMode::Create);
        TSourceFile src{launcherkey, o.launcherfile, 0, 0};
        size = AppendTransferForm(src, true, t);
      }
      if (size > std::numeric_limits<int32_t>::max()) {
        platform::RemoveFileAt(temp);
        throw EVantrelError("The packed launcher is larger than 2 GiB");
      }
      CommitTemp(temp, out + launcherpath);
      launcher.launchersize = static_cast<int32_t>(size);
      ++result.written;
      report("wrote " + launcherpath + " (" + std::to_string(size) + " bytes)");
    }
  }
  result.launchersize = launcher.launchersize;
  result.launcherpath = launcherpath;

  // The published list and the builder list beside it.
  const TBytes clientversion = list.SaveToBytes(false);
  if (clientversion.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    throw EVantrelError("The version list is larger than 2 GiB");
  }
  result.clientversionsize = static_cast<int64_t>(clientversion.size());
  TBuildVersionRecord build;
  build.updateversion = o.updateversion;
  build.clientversiondownsize = static_cast<int32_t>(clientversion.size());
  TUpdateList& builder = list;  // the same entries, in the layout that keeps every field
  const int32_t publishedlayout = builder.structversion;
  builder.structversion = 5;
  const TBytes builderbytes = builder.SaveToBytes(true);
  builder.structversion = publishedlayout;

  if (haveold && old.updateversion == o.updateversion) {
    bool changed = old.filelist.size() != list.filelist.size();
    for (const auto& [key, e] : list.filelist) {
      const TUpdateFile* prev = oldentry(key);
      changed = changed || prev == nullptr || prev->hash != e->hash;
    }
    if (changed) {
      result.warnings.push_back("update version " + std::to_string(o.updateversion) +
                                " was published before with other files: launchers that have "
                                "it installed will not update");
    }
  }

  // Every transfer file is in place: replace the three top files, then the
  // builder list.
  const TBytes buildbytes = build.Serialize();
  const TBytes launcherbytes = launcher.Serialize();
  std::vector<std::pair<std::string, const TBytes*>> tops = {{"client.version", &clientversion},
                                                             {"build.version", &buildbytes},
                                                             {"launcher.version", &launcherbytes}};
  TBytes recordbytes;
  if (signkey) {
    const int64_t now = o.signedat != 0 ? o.signedat : static_cast<int64_t>(std::time(nullptr));
    const TReleaseRecord record =
        MakeReleaseRecord(o.updateversion, clientversion, buildbytes, launcherbytes,
                          FingerprintOfFile(out + launcherpath), *signkey, now, o.validseconds);
    recordbytes = record.Serialize();
    tops.emplace_back(kReleaseRecordName, &recordbytes);
    result.signedrelease = true;
    result.keyid = KeyIdHex(record.keyid);
    result.expiresat = record.expiresat;
  }
  tops.emplace_back(kBuilderListName, &builderbytes);
  for (const auto& [name, bytes] : tops) WriteWholeFile(out + name + kTempSuffix, *bytes);
  for (const auto& [name, bytes] : tops) CommitTemp(out + name + kTempSuffix, out + name);
  platform::SyncFolder(o.outdir);

  // Transfer files the new list no longer names.
  if (haveold) {
    std::set<std::string> stale;
    for (const auto& [key, e] : old.filelist) {
      stale.insert(old.foldersplit ? TransferPathOfFolder(key) : TransferPathOfKey(key));
    }
    for (const std::string& path : stale) {
      if (paths.contains(path)) continue;
      if (platform::RemoveFileAt(out + path)) {
        ++result.removed;
        report("removed " + path);
        // Folders left empty go too (removal stops at the first that is not).
        std::error_code ec;
        for (fs::path dir = fs::path(out + path).parent_path();
             fs::weakly_canonical(dir) != fs::weakly_canonical(o.outdir) && fs::is_empty(dir, ec);
             dir = dir.parent_path()) {
          if (!fs::remove(dir, ec)) break;
        }
      }
    }
  }
  return result;
}

}  // namespace vantrel::publish
