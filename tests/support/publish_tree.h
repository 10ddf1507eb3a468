// Published download-server trees for tests and benchmarks: a sample client
// folder, the publisher run in-process (vantrel_publish_lib) or as the real
// vantrel-publish binary, and a reader that fetches every file back from a
// tree exactly as the launcher's download worker addresses it (path rules,
// byte ranges, per-chunk CRC check, unpacking, MD5 check). Link
// vantrel_test_publish. Not thread-safe; one call at a time per tree.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "publish/publish.h"

namespace vantrel::testing {

// A client folder as relative paths ("/" separators) to contents.
using TClientFiles = std::map<std::string, std::vector<uint8_t>>;

// Nested folders, a name with "#", a 0-byte file, a file of exactly 524,288
// bytes (one full chunk and an empty one), a 3 MiB + 5 bytes file of random
// bytes (several chunks), small text files. Deterministic for a given seed.
TClientFiles SampleClientFiles(uint32_t seed = 1);
// Writes the files under dir (created as needed).
void WriteClientFolder(const std::string& dir, const TClientFiles& files);
// Every regular file under dir.
TClientFiles ReadClientFolder(const std::string& dir);

// Publishes in-process; raises EVantrelError like vantrel-publish reports.
publish::TPublishResult PublishTree(const publish::TPublishOptions& options);

// Runs program with args (no shell), waits, returns its exit code (-1 when
// it could not be started or was killed); stdout and stderr go to *output.
int RunProgram(const std::string& program, const std::vector<std::string>& args,
               std::string* output = nullptr);

// What a tree serves, read the way a launcher fetches it.
struct TServedTree {
  std::vector<std::string> errors;  // empty when every check passed
  int32_t updateversion = 0;        // from build.version
  TClientFiles files;               // key without the leading "\", "/" separators
  std::vector<uint8_t> launcher;    // the unpacked launcher
  int64_t ranges = 0;               // chunk requests made
};

// One ranged GET: urlpath is what the download worker appends to the base
// URL ("launcher.version", "/bin32/a.dll.u", ".u"); last -1 asks for the
// rest of the file ("bytes=first-"). True with the body in out on a 2xx
// answer.
using TRangeFetch = std::function<bool(const std::string& urlpath, int64_t first, int64_t last,
                                       std::vector<uint8_t>& out)>;
// Answers ranged GETs from the files under serverdir, as a plain HTTP file
// server does.
TRangeFetch FolderFetch(const std::string& serverdir);

// Reads a tree the way a launcher does, through fetch: launcher.version (36
// bytes, digest), the launcher transfer file at launcherfolder +
// launchername, build.version (24 bytes, digest), client.version (the size
// build.version announces), then every entry's transfer form chunk by chunk
// at the path and range the download worker uses.
TServedTree ReadServedTree(const TRangeFetch& fetch, const std::string& launchername,
                           const std::string& launcherfolder = "\\");
// The same through FolderFetch(serverdir).
TServedTree ReadServedTree(const std::string& serverdir, const std::string& launchername,
                           const std::string& launcherfolder = "\\");

}  // namespace vantrel::testing
