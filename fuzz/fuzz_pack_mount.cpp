// Mounts a pack made of the input's bytes, then queries, extracts, changes,
// saves and mounts it again. The first byte chooses the form:
//   bit 0  sector size 4096 (else 512)
//   bit 1  plain form: the harness encrypts the directory, so the fuzzer
//          reaches the header and record fields (else the bytes are the pack)
//   bit 2  (plain form) a sidecar with the same directory lies next to it
//   bit 3  the directory in the pack is overwritten, as a crash would leave it
//   bit 4  the sidecar carries the header's save id as its own (else as the
//          previous one)
//   bit 5  add, remove and save after mounting
//   bit 6  the input carries the sidecar: a 2-byte little-endian length L and
//          L bytes of the sidecar file without its trailing digest, which
//          the harness appends (so mutations reach every field behind it);
//          the rest of the input follows as without this bit
// Plain form: a 2-byte little-endian data length D, D data bytes, the 32
// plain header bytes, then plain records of 336 bytes each.
// The harness-made sidecar (bit 2) takes its save id from header bytes 20..27
// and the previous check value from bytes 28..31.
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pack/pack_crypto.h"
#include "pack/pack_dir_record.h"
#include "pack/pack_sidecar.h"
#include "platform/files.h"
#include "platform/stream.h"

namespace {

using namespace vantrel;

// A folder of its own, removed when the fuzzer ends.
const std::string& WorkDir() {
  static const std::string* dir = [] {
    // Memory-backed when there is such a folder: saves flush to the device.
    std::string tmpl = platform::FolderExists("/dev/shm") ? "/dev/shm/fuzz_pack_mount-XXXXXX"
                                                          : "/tmp/fuzz_pack_mount-XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
    return new std::string(tmpl);  // kept to the very end, for the clean-up below
  }();
  static const bool cleanup = [] {
    std::atexit([] { platform::RemoveFolderTree(*dir); });
    return true;
  }();
  (void)cleanup;
  return *dir;
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  TFileStream f(path, TFileMode::Create);
  f.WriteBuffer(bytes);
}

// Encrypts the plain directory: records padded to s, then the header block.
std::vector<uint8_t> BuildTail(const uint8_t* p, size_t n, int32_t s) {
  std::vector<uint8_t> header(32, 0);
  std::memcpy(header.data(), p, std::min<size_t>(n, 32));
  std::vector<uint8_t> tail;
  for (size_t at = 32; at < n; at += kPackRecordSize) {
    std::vector<uint8_t> rec(kPackRecordSize, 0);
    std::memcpy(rec.data(), p + at, std::min<size_t>(n - at, kPackRecordSize));
    const std::vector<uint8_t> enc = EncryptDirData(rec);
    tail.insert(tail.end(), enc.begin(), enc.end());
  }
  tail.resize(static_cast<size_t>(PackRoundup(static_cast<int64_t>(tail.size()), s)), 0);
  const std::vector<uint8_t> enc = EncryptDirData(header);
  tail.insert(tail.end(), enc.begin(), enc.end());
  tail.resize(tail.size() + static_cast<size_t>(PackRoundup(32, s) - 32), 0xA5);
  return tail;
}

void Exercise(TPackDirRecord& dir, bool change) {
  std::vector<std::string> names;
  int64_t total = 0;
  for (const auto& [name, r] : dir.filelist) {
    names.push_back(name);
    total += r->size;
  }
  for (const std::string& n : names) {
    dir.IsFileExist(n);
    dir.GetFileDigest(n);
    dir.RecalculateFileDigest(n);
  }
  dir.GetFileList();
  const std::string out = WorkDir() + "/out";
  if (total < (4 << 20)) {
    try {
      dir.UnpackAllToDir(out);
    } catch (const std::exception&) {
      // Unsafe names and unwritable targets are refused with an error.
    }
    platform::RemoveFolderTree(out);
  }
  if (!change || !dir.IsMounted()) return;
  TMemoryStream src(std::vector<uint8_t>(1000, 0x42));
  dir.AddReplaceFile("fuzz/new", src);
  if (!names.empty()) dir.RemoveFile(names.front());
  if (names.size() > 1) {
    TMemoryStream again(std::vector<uint8_t>(3000, 0x24));
    dir.AddReplaceFile(names.back(), again);
  }
  dir.Save();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t flags = data[0];
  const int32_t s = (flags & 1) ? 4096 : 512;
  const bool change = (flags & 0x20) != 0;
  platform::OverrideSectorSize(s);
  const std::string pack = WorkDir() + "/game_pak";
  const std::string side = PackSidecarPath(pack);
  platform::RemoveFileAt(side);

  const uint8_t* in = data + 1;
  size_t left = size - 1;
  if (flags & 0x40) {
    if (left < 2) return 0;
    const size_t l = std::min<size_t>(in[0] | (in[1] << 8), left - 2);
    std::vector<uint8_t> file(in + 2, in + 2 + l);
    uint8_t digest[16];
    unsigned int len = 0;
    EVP_Digest(file.data(), file.size(), digest, &len, EVP_md5(), nullptr);
    file.insert(file.end(), digest, digest + 16);
    WriteFile(side, file);
    in += 2 + l;
    left -= 2 + l;
  }

  std::vector<uint8_t> bytes;
  if (flags & 2) {
    if (left < 2) return 0;
    const size_t d = std::min<size_t>(in[0] | (in[1] << 8), left - 2);
    const uint8_t* dir = in + 2 + d;
    const size_t dirlen = left - 2 - d;
    bytes.assign(in + 2, in + 2 + d);
    const std::vector<uint8_t> tail = BuildTail(dir, dirlen, s);
    if ((flags & 4) && !(flags & 0x40)) {
      TPackSidecar sc;
      sc.sectorsize = s;
      sc.endofdata = static_cast<int64_t>(d);
      uint64_t id = 0;
      if (dirlen >= 28) std::memcpy(&id, dir + 20, 8);
      if (dirlen >= 32) std::memcpy(&sc.prevcheck, dir + 28, 4);
      (flags & 0x10 ? sc.saveid : sc.prevsaveid) = id;
      sc.tail = tail;
      WriteFile(side, EncodePackSidecar(sc));
    }
    if (flags & 8) {
      bytes.resize(bytes.size() + tail.size() / 2, 0x5A);  // the data ran over the directory
    } else {
      bytes.insert(bytes.end(), tail.begin(), tail.end());
    }
  } else {
    bytes.assign(in, in + left);
  }
  WriteFile(pack, bytes);

  TPackDirRecord dir;
  try {
    dir.Mount(pack);
    // What a mount keeps is safe to extract and lies inside the pack.
    for (const auto& [name, r] : dir.filelist) {
      if (!IsSafePackPath(name) || name.find('\\') != std::string::npos) std::abort();
      if (r->offset < 0 || r->size < 0 || r->offset > dir.packfilesize) std::abort();
    }
    Exercise(dir, change);
    dir.Dismount();
    if (change) {
      // What was saved mounts again.
      dir.Mount(pack);
      dir.GetFileList();
      dir.packfile.reset();
      dir.Reset();
    }
  } catch (const std::exception&) {
    // Errors are the expected outcome of many inputs; crashes and sanitizer
    // reports are what the fuzzer looks for.
    dir.packfile.reset();
    dir.Reset();
  }
  return 0;
}
