// A download servers' tree made in a test: the transfer files of a few
// files (zlib streams for compressed entries, the bytes themselves
// otherwise), named the way the download workers ask for them, the probe
// file, and the version-list entries that describe them (one check value
// per chunk). Small on purpose, so that the publisher tool can take its
// place.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "versions/update_list.h"

namespace vantrel::testing {

struct TTreeFile {
  std::string key;  // "\bin32\a.dll"
  std::vector<uint8_t> content;
  bool compressed = true;
};

class TServerTree {
 public:
  // Writes the tree below root + "/kestrune". foldersplit: files of one
  // folder share one combined transfer file, each at its posinfile.
  // probesize: size of "launcher.version".
  TServerTree(const std::string& root, std::vector<TTreeFile> files, bool foldersplit = false,
              int64_t probesize = 36);

  const std::string& Root() const { return root_; }
  // Every entry, or the entries of the given keys.
  TUpdateFileRefs Refs() const;
  TUpdateFileRefs Refs(const std::vector<std::string>& keys) const;
  const TUpdateFile& Entry(const std::string& key) const { return *entries_.at(key); }
  // The transfer form the client must end up with for a key.
  const std::vector<uint8_t>& TransferForm(const std::string& key) const { return forms_.at(key); }
  // The request path of a key's transfer file ("/kestrune//bin32/a.dll.u").
  std::string RequestPath(const std::string& key) const;

 private:
  std::string root_;
  bool foldersplit_;
  TUpdateFileMap entries_;
  std::map<std::string, std::vector<uint8_t>> forms_;
};

// Deterministic bytes: compressible (text-like) or not.
std::vector<uint8_t> PatternBytes(size_t n, uint32_t seed, bool compressible);
// The check values of a transfer form, one per chunk (GetChunkCount of them).
std::vector<uint32_t> ChunkCRCs(const std::vector<uint8_t>& form);
// The zlib stream of bytes.
std::vector<uint8_t> Compress(const std::vector<uint8_t>& bytes);

}  // namespace vantrel::testing
