#include "support/server_tree.h"

#include <random>
#include <stdexcept>

#include "support/temp_dir.h"
#include "versions/update_utils.h"

namespace vantrel::testing {

namespace {

std::string ServerName(std::string path) {
  std::string out;
  for (char c : path) {
    if (c == '\\') {
      out += '/';
    } else if (c == '#') {
      out += "11223344556677889900";
    } else {
      out += c;
    }
  }
  return out;
}

std::string FolderOf(const std::string& key) {
  const size_t last = key.rfind('\\');
  return last == std::string::npos || last == 0 ? "\\" : key.substr(0, last);
}

// The combined transfer file's name of a folder: without a trailing "\".
std::string FolderFileName(std::string folder) {
  if (!folder.empty() && folder.back() == '\\') folder.pop_back();
  return ServerName(folder) + ".u";
}

}  // namespace

std::vector<uint8_t> PatternBytes(size_t n, uint32_t seed, bool compressible) {
  std::vector<uint8_t> out(n);
  std::mt19937 random(seed);
  if (!compressible) {
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
      const uint32_t v = random();
      out[i] = static_cast<uint8_t>(v);
      out[i + 1] = static_cast<uint8_t>(v >> 8);
      out[i + 2] = static_cast<uint8_t>(v >> 16);
      out[i + 3] = static_cast<uint8_t>(v >> 24);
    }
    for (; i < n; ++i) out[i] = static_cast<uint8_t>(random());
    return out;
  }
  static const char* const words[] = {"pack ",    "chunk ",    "server ", "myrefall ", "launcher ",
                                      "update\n", "kestrune ", "0123 ",   "texture ",  "mesh "};
  size_t i = 0;
  while (i < n) {
    const char* w = words[random() % 10];
    for (; *w != 0 && i < n; ++w) out[i++] = static_cast<uint8_t>(*w);
  }
  return out;
}

std::vector<uint32_t> ChunkCRCs(const std::vector<uint8_t>& form) {
  const auto size = static_cast<int64_t>(form.size());
  const int64_t step = GetChunkSize(size);
  std::vector<uint32_t> crcs;
  for (int32_t i = 0; i < GetChunkCount(size); ++i) {
    const int64_t first = i * step;
    const int64_t length = std::max<int64_t>(0, std::min<int64_t>(step, size - first));
    crcs.push_back(CRC32Value(form.data() + std::min(first, size), static_cast<size_t>(length)));
  }
  return crcs;
}

std::vector<uint8_t> Compress(const std::vector<uint8_t>& bytes) {
  TMemoryStream source(bytes);
  TMemoryStream dest;
  if (!CompressStream(source, dest)) throw std::runtime_error("compression failed");
  return dest.TakeBytes();
}

TServerTree::TServerTree(const std::string& root, std::vector<TTreeFile> files, bool foldersplit,
                         int64_t probesize)
    : root_(root), foldersplit_(foldersplit) {
  const std::string base = root + "/kestrune";
  WriteFileText(base + "/launcher.version", std::string(static_cast<size_t>(probesize), 'L'));
  std::map<std::string, std::vector<uint8_t>> combined;  // folder -> combined transfer file
  for (auto& f : files) {
    std::vector<uint8_t> form = f.compressed ? Compress(f.content) : f.content;
    auto e = std::make_unique<TUpdateFile>();
    e->size = static_cast<int64_t>(form.size());
    e->compressed = f.compressed;
    e->chunkcrc32 = ChunkCRCs(form);
    e->chunksize = GetChunkSize(e->size);
    e->chunkcount = GetChunkCount(e->size);
    e->hash = TBytes(16, 0);
    if (foldersplit) {
      auto& folder = combined[FolderOf(f.key)];
      e->posinfile = static_cast<int64_t>(folder.size());
      folder.insert(folder.end(), form.begin(), form.end());
    } else {
      e->posinfile = -1;
      WriteFileBytes(base + ServerName(f.key) + ".u", form);
    }
    entries_.emplace(f.key, std::move(e));
    forms_.emplace(f.key, std::move(form));
  }
  for (const auto& [folder, bytes] : combined) {
    WriteFileBytes(base + "/" + FolderFileName(folder), bytes);
  }
}

TUpdateFileRefs TServerTree::Refs() const {
  TUpdateFileRefs refs;
  for (const auto& [key, e] : entries_) refs.emplace(key, e.get());
  return refs;
}

TUpdateFileRefs TServerTree::Refs(const std::vector<std::string>& keys) const {
  TUpdateFileRefs refs;
  for (const auto& key : keys) refs.emplace(key, entries_.at(key).get());
  return refs;
}

std::string TServerTree::RequestPath(const std::string& key) const {
  if (foldersplit_) {
    std::string folder = FolderOf(key);
    if (!folder.empty() && folder.back() == '\\') folder.pop_back();
    return "/kestrune/" + ServerName(folder) + ".u";
  }
  return "/kestrune/" + ServerName(key) + ".u";
}

}  // namespace vantrel::testing
