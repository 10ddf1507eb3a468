// vantrel-pack: looks inside a client pack file and changes it by hand.
// Reading commands open the pack for reading only and never write to it.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "pack/pack_dir_record.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/stream.h"

namespace {

using vantrel::TPackDirRecord;
using vantrel::TPackFileRecord;

constexpr const char* kUsage =
    "Usage: vantrel-pack COMMAND PACK [ARGS]\n"
    "\n"
    "Looks inside a Vantrel client pack (the game folder's game_pak) and changes it.\n"
    "\n"
    "Commands:\n"
    "  info PACK                 the directory's header, sector size, counts and end of\n"
    "                            data, as one JSON object\n"
    "  list PACK                 one JSON object per file: name, offset, size, margin,\n"
    "                            digest (MD5, hex)\n"
    "  verify PACK               recomputes every file's MD5 from its stored bytes and\n"
    "                            prints one JSON object per file that does not match\n"
    "  extract PACK FOLDER DEST  writes every file under the pack folder FOLDER (for\n"
    "                            example /bin32; / for all) below the folder DEST\n"
    "  add PACK NAME FILE        stores FILE under NAME, replacing a file of that name;\n"
    "                            creates the pack when it does not exist\n"
    "  remove PACK NAME          removes the file NAME from an existing pack\n"
    "\n"
    "Names are normalized as the launcher does: lower case, \"/\" separators, no leading\n"
    "\"/\". A pack whose directory was lost in a crash is read through its sidecar\n"
    "(PACK.dir) when that fits; every digest of such a directory is recomputed. Records\n"
    "whose names could lead outside a folder are left out (info counts them). The pack\n"
    "must not be in use by a running launcher.\n"
    "\n"
    "Exit status: 0 done; 1 verify found mismatches, or remove found no such file;\n"
    "2 wrong usage or an error (message on standard error).\n"
    "\n"
    "Options:\n"
    "  -h, --help                this text\n";

std::string Hex(const uint8_t* p, size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out += digits[p[i] >> 4];
    out += digits[p[i] & 15];
  }
  return out;
}

// A JSON string; bytes that are not UTF-8 appear as \u00XX.
std::string Json(const std::string& s) {
  std::string out = "\"";
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    size_t len = c < 0x80             ? 1
                 : (c & 0xE0) == 0xC0 ? 2
                 : (c & 0xF0) == 0xE0 ? 3
                 : (c & 0xF8) == 0xF0 ? 4
                                      : 0;
    bool valid = len > 0 && i + len <= s.size();
    for (size_t k = 1; valid && k < len; ++k) {
      valid = (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80;
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || !valid) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
      len = 1;
    } else {
      out.append(s, i, len);
    }
    i += valid ? len : 1;
  }
  return out + "\"";
}

class TUsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reports progress on standard error about once a second.
class TProgress {
 public:
  TProgress(const char* what, size_t total) : what_(what), total_(total) {}
  void Step(size_t done) {
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::seconds(1)) return;
    last_ = now;
    std::fprintf(stderr, "%s %zu of %zu files\n", what_, done, total_);
  }

 private:
  const char* what_;
  size_t total_;
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

bool FoundDirectory(const TPackDirRecord& dir) { return dir.foundsectorsize != 0; }

// Mounts for reading; the file must hold a pack directory.
void OpenForReading(TPackDirRecord& dir, const std::string& pack) {
  dir.MountReadOnly(pack);
  if (!dir.IsMounted()) {
    throw vantrel::EVantrelError("\"" + pack + "\" has a damaged directory: " + dir.loaderror);
  }
  if (!FoundDirectory(dir)) {
    dir.Dismount();
    throw vantrel::EVantrelError("\"" + pack + "\" is not a pack (no directory found)");
  }
}

// Mounts for changing. With create, a missing or empty file becomes a new
// pack; otherwise the pack must exist. Any file that is there must hold a
// pack directory, so that nothing else is overwritten.
void OpenForWriting(TPackDirRecord& dir, const std::string& pack, bool create) {
  if (!create && !vantrel::platform::FileExists(pack)) {
    throw vantrel::EVantrelError("No pack \"" + pack + "\" (only add creates one)");
  }
  const int64_t size = vantrel::platform::FileSizeOf(pack);
  if (!create && size <= 0) {
    throw vantrel::EVantrelError("\"" + pack + "\" is empty, not a pack; not changed");
  }
  dir.Mount(pack);
  if (!dir.IsMounted()) {
    throw vantrel::EVantrelError("\"" + pack + "\" has a damaged directory: " + dir.loaderror);
  }
  if (size > 0 && !FoundDirectory(dir)) {
    dir.packfile.reset();  // leave the file as it is
    dir.Reset();
    throw vantrel::EVantrelError("\"" + pack +
                                 "\" is not a pack (no directory found); not changed");
  }
}

int Info(const std::string& pack) {
  TPackDirRecord dir;
  OpenForReading(dir, pack);
  const int64_t s = dir.foundsectorsize;
  const int64_t records = static_cast<int64_t>(dir.numRecord) + dir.numUnused;
  int64_t unusedbytes = 0;
  for (const auto& u : dir.unusedlist) unusedbytes += u->size;
  int64_t databytes = 0;
  for (const auto& [k, r] : dir.filelist) databytes += r->size;
  std::printf(
      "{\"pack\": %s, \"size\": %lld, \"sectorsize\": %lld, \"volumesectorsize\": %d, "
      "\"sig\": \"0x%08X\", \"attr\": %u, \"ver\": %d, \"numRecord\": %d, \"numUnused\": %d, "
      "\"endofdata\": %lld, \"recordblock\": %lld, \"headerblock\": %lld, \"filebytes\": %lld, "
      "\"unusedbytes\": %lld, \"recovered\": %s, \"recovereddigests\": %d, "
      "\"droppedrecords\": %d, \"unsafenames\": %zu}\n",
      Json(pack).c_str(), static_cast<long long>(dir.packfilesize), static_cast<long long>(s),
      dir.reallogicalsectorsize, static_cast<unsigned>(dir.sig), dir.attr, dir.ver, dir.numRecord,
      dir.numUnused, static_cast<long long>(dir.endofdata),
      static_cast<long long>(vantrel::PackRoundup(records * vantrel::kPackRecordSize, s)),
      static_cast<long long>(vantrel::PackRoundup(vantrel::kPackHeaderSize, s)),
      static_cast<long long>(databytes), static_cast<long long>(unusedbytes),
      dir.isrecovered ? "true" : "false", dir.recovereddigests, dir.droppedrecords,
      dir.unsafenames.size());
  for (const std::string& name : dir.unsafenames) {
    std::fprintf(stderr, "vantrel-pack: unsafe name left out: %s\n", Json(name).c_str());
  }
  dir.Dismount();
  return 0;
}

int List(const std::string& pack) {
  TPackDirRecord dir;
  OpenForReading(dir, pack);
  for (const auto& [name, r] : dir.filelist) {
    std::printf(
        "{\"name\": %s, \"offset\": %lld, \"size\": %lld, \"margin\": %d, \"digest\": \"%s\"}\n",
        Json(name).c_str(), static_cast<long long>(r->offset), static_cast<long long>(r->size),
        r->margin, Hex(r->digest.data(), r->digest.size()).c_str());
  }
  dir.Dismount();
  return 0;
}

int Verify(const std::string& pack) {
  TPackDirRecord dir;
  OpenForReading(dir, pack);
  TProgress progress("verified", dir.filelist.size());
  size_t done = 0;
  size_t bad = 0;
  for (const auto& [name, r] : dir.filelist) {
    const vantrel::TBytes actual = dir.ComputeFileDigest(name);
    if (!std::equal(actual.begin(), actual.end(), r->digest.begin())) {
      ++bad;
      std::printf("{\"name\": %s, \"stored\": \"%s\", \"actual\": \"%s\"}\n", Json(name).c_str(),
                  Hex(r->digest.data(), 16).c_str(), Hex(actual.data(), actual.size()).c_str());
    }
    progress.Step(++done);
  }
  std::fprintf(stderr, "%zu files verified, %zu do not match\n", done, bad);
  dir.Dismount();
  return bad == 0 ? 0 : 1;
}

int Extract(const std::string& pack, const std::string& folder, const std::string& dest) {
  TPackDirRecord dir;
  OpenForReading(dir, pack);
  const std::string prefix = TPackFileRecord::FixName(folder);
  size_t count = 0;
  for (const auto& [name, r] : dir.filelist) {
    if (prefix.empty() || name.compare(0, prefix.size() + 1, prefix + "/") == 0) ++count;
  }
  std::fprintf(stderr, "extracting %zu files\n", count);
  if (prefix.empty()) {
    dir.UnpackAllToDir(dest);
  } else {
    dir.UnpackFolderToDir(folder, dest);
  }
  dir.Dismount();
  return 0;
}

int Add(const std::string& pack, const std::string& name, const std::string& file) {
  vantrel::TFileStream source(file, vantrel::TFileMode::OpenRead);
  TPackDirRecord dir;
  OpenForWriting(dir, pack, true);
  if (!dir.AddReplaceFile(name, source)) throw vantrel::EVantrelError("The pack is being saved");
  const auto& r = *dir.filelist.at(TPackFileRecord::FixName(name));
  std::fprintf(stderr, "stored %s: %lld bytes at offset %lld\n", Json(r.Name()).c_str(),
               static_cast<long long>(r.size), static_cast<long long>(r.offset));
  dir.Dismount();
  return 0;
}

int Remove(const std::string& pack, const std::string& name) {
  TPackDirRecord dir;
  OpenForWriting(dir, pack, false);
  if (!dir.IsFileExist(name)) {
    std::fprintf(stderr, "vantrel-pack: no file %s in \"%s\"\n",
                 Json(TPackFileRecord::FixName(name)).c_str(), pack.c_str());
    dir.Dismount();
    return 1;
  }
  dir.RemoveFile(name);
  dir.Dismount();
  return 0;
}

int Run(const std::vector<std::string>& args) {
  if (args.empty()) throw TUsageError("no command given");
  const std::string& cmd = args[0];
  const auto need = [&](size_t n) {
    if (args.size() != n + 1)
      throw TUsageError("\"" + cmd + "\" takes " + std::to_string(n) + " arguments");
  };
  if (cmd == "info") return need(1), Info(args[1]);
  if (cmd == "list") return need(1), List(args[1]);
  if (cmd == "verify") return need(1), Verify(args[1]);
  if (cmd == "extract") return need(3), Extract(args[1], args[2], args[3]);
  if (cmd == "add") return need(3), Add(args[1], args[2], args[3]);
  if (cmd == "remove") return need(2), Remove(args[1], args[2]);
  throw TUsageError("unknown command \"" + cmd + "\"");
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  for (const std::string& a : args) {
    if (a == "-h" || a == "--help" || a == "help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  try {
    return Run(args);
  } catch (const TUsageError& e) {
    std::fprintf(stderr, "vantrel-pack: %s\n\n%s", e.what(), kUsage);
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vantrel-pack: %s\n", e.what());
    return 2;
  }
}
