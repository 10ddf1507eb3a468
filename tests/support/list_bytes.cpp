#include "support/list_bytes.h"

#include <openssl/evp.h>
#include <zlib.h>

#include <cstring>
#include <stdexcept>

namespace vantrel::testing {

namespace {

void Put(std::vector<uint8_t>& out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void PutString(std::vector<uint8_t>& out, const std::string& s) {
  auto len = static_cast<uint32_t>(s.size());
  do {
    uint8_t b = len & 0x7F;
    len >>= 7;
    if (len != 0) b |= 0x80;
    out.push_back(b);
  } while (len != 0);
  out.insert(out.end(), s.begin(), s.end());
}

int64_t ChunkCount(int64_t size) {
  const int64_t chunk = size >= 0x7FFFFFFF ? 2097152 : size >= 0x1F400000 ? 1048576 : 524288;
  return size / chunk + 1;
}

void PutHeader(std::vector<uint8_t>& out, const TRawList& l) {
  out.push_back(static_cast<uint8_t>(l.structversion));
  Put(out, static_cast<uint32_t>(l.updateversion), 4);
  Put(out, static_cast<uint64_t>(l.fullunpakedsize), 8);
  if (l.structversion >= 3) {
    out.push_back(l.compressall ? 1 : 0);
    PutString(out, l.exclude);
  }
  if (l.structversion >= 4) out.push_back(l.foldersplit ? 1 : 0);
}

}  // namespace

std::vector<uint8_t> ZlibPack(const std::vector<uint8_t>& data) {
  uLongf len = compressBound(data.size());
  std::vector<uint8_t> out(len);
  if (compress2(out.data(), &len, data.data(), data.size(), Z_DEFAULT_COMPRESSION) != Z_OK) {
    throw std::runtime_error("compress2 failed");
  }
  out.resize(len);
  return out;
}

std::vector<uint8_t> BuildListBody(const TRawList& l) {
  std::vector<uint8_t> out;
  if (!(l.rawheader && l.structversion == 1)) PutHeader(out, l);
  const int sv = l.structversion;
  if (sv == 4 && l.foldersplit) {
    Put(out, l.folders.size(), 4);
    for (const TRawFolder& f : l.folders) {
      PutString(out, f.name);
      Put(out, static_cast<uint64_t>(f.size), 8);
      for (int64_t i = 0; i < ChunkCount(f.size); ++i) Put(out, 0, 4);
    }
  }
  for (const TRawEntry& e : l.entries) {
    PutString(out, e.name);
    Put(out, static_cast<uint64_t>(e.size), 8);
    out.insert(out.end(), e.hash.begin(), e.hash.end());
    if (sv == 2) out.push_back(e.compressed ? 1 : 0);
    if (sv >= 2 && !(sv == 4 && l.foldersplit)) {
      if (e.crcbytes.empty()) {
        for (int64_t i = 0; i < ChunkCount(e.size); ++i) Put(out, 0, 4);
      } else {
        out.insert(out.end(), e.crcbytes.begin(), e.crcbytes.end());
      }
    }
    if (sv >= 5 && l.foldersplit) Put(out, static_cast<uint64_t>(e.posinfile), 8);
    if (l.builder) {
      Put(out, static_cast<uint64_t>(e.buildersize), 8);
      uint64_t bits;
      std::memcpy(&bits, &e.builderdate, 8);
      Put(out, bits, 8);
    }
  }
  return out;
}

void FixListDigest(std::vector<uint8_t>& file) {
  if (file.size() < 16) file.resize(16, 0);
  unsigned int len = 0;
  EVP_Digest(file.data() + 16, file.size() - 16, file.data(), &len, EVP_md5(), nullptr);
}

std::vector<uint8_t> BuildListFile(const TRawList& l) {
  std::vector<uint8_t> file(16, 0);
  if (l.rawheader) {
    file.push_back(static_cast<uint8_t>(l.structversion));
    Put(file, static_cast<uint32_t>(l.updateversion), 4);
    Put(file, static_cast<uint64_t>(l.fullunpakedsize), 8);
  }
  const std::vector<uint8_t> packed = ZlibPack(BuildListBody(l));
  file.insert(file.end(), packed.begin(), packed.end());
  FixListDigest(file);
  return file;
}

}  // namespace vantrel::testing
