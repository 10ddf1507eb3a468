// Feeds arbitrary bytes to the version list reader, as a download server
// could. The first byte chooses the builder form (bit 0) and whether the
// stored digest is recomputed first (bit 1), so that mutations reach the
// parser behind it; the rest is the file. Every accepted list must hold
// only safe keys that the client's pack can store, and consistent chunk
// data.
#include <openssl/evp.h>

#include <cstdlib>

#include "pack/pack_limits.h"
#include "versions/update_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vantrel;
  if (size == 0) return 0;
  const bool isbuilder = (data[0] & 1) != 0;
  TBytes file(data + 1, data + size);
  if ((data[0] & 2) != 0 && file.size() >= 16) {
    unsigned int len = 0;
    EVP_Digest(file.data() + 16, file.size() - 16, file.data(), &len, EVP_md5(), nullptr);
  }
  TMemoryStream stream(std::move(file));
  TUpdateList list;
  list.LoadFromStream(stream, isbuilder);
  for (const auto& [key, entry] : list.filelist) {
    if (!TUpdateList::IsSafeKey(key)) std::abort();
    // Only what the client's pack can hold is accepted.
    if (PackNameOf(key).size() > kPackMaxNameLength) std::abort();
    if (entry->size > kPackMaxFileSize + (kPackMaxFileSize >> 10)) std::abort();
    if (entry->size < 0 || entry->chunkcount != GetChunkCount(entry->size) ||
        entry->chunksize != GetChunkSize(entry->size) ||
        static_cast<int64_t>(entry->chunkcrc32.size()) != entry->chunkcount) {
      std::abort();
    }
  }
  // What loaded writes back and reads back the same when complete.
  if (list.updateversion > 0 && list.structversion >= 5) {
    bool complete = true;
    for (const auto& [key, entry] : list.filelist) complete = complete && entry->hash.size() == 16;
    if (complete) {
      TMemoryStream again(list.SaveToBytes(isbuilder));
      TUpdateList back;
      if (!back.LoadFromStream(again, isbuilder) || back.filelist.size() != list.filelist.size()) {
        std::abort();
      }
    }
  }
  return 0;
}
