#include "support/publish_tree.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>

#include "platform/errors.h"
#include "platform/stream.h"
#include "support/temp_dir.h"
#include "versions/update_list.h"
#include "versions/update_utils.h"
#include "versions/version_records.h"

namespace vantrel::testing {

namespace fs = std::filesystem;

TClientFiles SampleClientFiles(uint32_t seed) {
  std::mt19937 rng(seed);
  auto random = [&](size_t n) {
    std::vector<uint8_t> b(n);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    return b;
  };
  auto text = [](const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); };
  TClientFiles f;
  f["bin32/Myrefall.exe"] = random(70000);
  f["bin32/lib#1.dll"] = text("a file whose name holds a hash sign");
  f["bin32/plugins/deep/nested.dll"] = random(1234);
  f["bin32/exact.bin"] = random(524288);
  f["game/empty.dat"] = {};
  f["game/db/big.pak"] = random(3 * 1024 * 1024 + 5);
  f["game/db/readme.txt"] = text("not compressed with --exclude .txt\n");
  f["top.cfg"] = text("key=value\n");
  return f;
}

void WriteClientFolder(const std::string& dir, const TClientFiles& files) {
  for (const auto& [rel, bytes] : files) {
    const fs::path p = fs::path(dir) / rel;
    fs::create_directories(p.parent_path());
    WriteFileBytes(p.string(), bytes);
  }
}

TClientFiles ReadClientFolder(const std::string& dir) {
  TClientFiles files;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (e.is_regular_file()) {
      files[fs::relative(e.path(), dir).generic_string()] = ReadFileBytes(e.path().string());
    }
  }
  return files;
}

publish::TPublishResult PublishTree(const publish::TPublishOptions& options) {
  return publish::Publish(options);
}

int RunProgram(const std::string& program, const std::vector<std::string>& args,
               std::string* output) {
  int pipefd[2];
  if (pipe(pipefd) != 0) return -1;
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    dup2(pipefd[1], 1);
    dup2(pipefd[1], 2);
    close(pipefd[0]);
    close(pipefd[1]);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(pipefd[1]);
  std::string out;
  char buf[4096];
  for (;;) {
    const ssize_t n = read(pipefd[0], buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  close(pipefd[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (output) *output = out;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

namespace {

// What the worker appends to the base URL for a file task. Written from the
// worker's rules, apart from the publisher's code.
std::string WorkerPath(const std::string& key, bool folder) {
  std::string path = key;
  if (folder) {
    const size_t p = path.rfind('\\');
    path = p == 0 ? std::string("\\") : path.substr(0, p);
    if (!path.empty() && path.back() == '\\') path.pop_back();
  }
  std::string url;
  for (const char c : path) {
    if (c == '\\') {
      url += '/';
    } else if (c == '#') {
      url += "11223344556677889900";
    } else {
      url += c;
    }
  }
  return url + ".u";
}

}  // namespace

TRangeFetch FolderFetch(const std::string& serverdir) {
  return [serverdir](const std::string& urlpath, int64_t first, int64_t last,
                     std::vector<uint8_t>& out) {
    std::ifstream f(serverdir + "/" + urlpath, std::ios::binary);
    if (!f) return false;
    f.seekg(0, std::ios::end);
    const int64_t size = f.tellg();
    if (last < 0 || last >= size) last = size - 1;
    if (first < 0 || first > size) return false;
    out.assign(static_cast<size_t>(std::max<int64_t>(last - first + 1, 0)), 0);
    f.seekg(first);
    f.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(out.size()));
    return static_cast<bool>(f);
  };
}

TServedTree ReadServedTree(const std::string& serverdir, const std::string& launchername,
                           const std::string& launcherfolder) {
  return ReadServedTree(FolderFetch(serverdir), launchername, launcherfolder);
}

TServedTree ReadServedTree(const TRangeFetch& fetch, const std::string& launchername,
                           const std::string& launcherfolder) {
  // A chunk must come back exactly as asked, like the worker's length check.
  auto Fetch = [&](const std::string& path, int64_t first, int64_t last,
                   std::vector<uint8_t>& out) {
    if (!fetch(path, first, last, out)) return false;
    return last < 0 || static_cast<int64_t>(out.size()) == last - first + 1;
  };
  TServedTree t;
  std::vector<uint8_t> bytes;
  TLauncherVersionRecord lr;
  if (!Fetch("launcher.version", 0, -1, bytes) || !lr.Parse(bytes) || !lr.IsDigestValid()) {
    t.errors.push_back("launcher.version missing, not 36 bytes or with a wrong digest");
    return t;
  }
  const std::string lpath = WorkerPath(launcherfolder + launchername, false);
  TMemoryStream unpacked;
  if (!Fetch(lpath, 0, -1, bytes) || static_cast<int64_t>(bytes.size()) != lr.launchersize) {
    t.errors.push_back("launcher transfer file " + lpath + " missing or of the wrong size");
  } else {
    TMemoryStream packed(bytes);
    unpacked.SetPosition(0);
    if (!DecompressStream(packed, unpacked) ||
        (unpacked.SetPosition(0), GetStreamMD5(unpacked)) !=
            TBytes(lr.launcherhash.begin(), lr.launcherhash.end())) {
      t.errors.push_back("launcher does not unpack to its digest");
    }
    t.launcher = unpacked.Bytes();
  }

  TBuildVersionRecord br;
  if (!Fetch("build.version", 0, -1, bytes) || !br.Parse(bytes) || !br.IsDigestValid()) {
    t.errors.push_back("build.version missing, not 24 bytes or with a wrong digest");
    return t;
  }
  t.updateversion = br.updateversion;
  if (!Fetch("client.version", 0, -1, bytes) ||
      static_cast<int64_t>(bytes.size()) != br.clientversiondownsize) {
    t.errors.push_back("client.version missing or not of the size build.version announces");
    return t;
  }
  TUpdateList list;
  TMemoryStream lm(bytes);
  if (!list.LoadFromStream(lm) || list.updateversion != br.updateversion) {
    t.errors.push_back("client.version does not load, or has another update version");
    return t;
  }
  for (const auto& [key, e] : list.filelist) {
    const bool split = e->posinfile >= 0;
    const std::string path = WorkerPath(key, split);
    const int64_t shift = split ? e->posinfile : 0;
    std::vector<uint8_t> transfer;
    bool ok = true;
    for (int32_t i = 0; i < e->chunkcount && ok; ++i) {
      const int64_t first = int64_t{i} * e->chunksize;
      const int64_t last = std::min(first + e->chunksize, e->size) - 1;
      if (last < first) continue;  // the empty last chunk is never fetched
      std::vector<uint8_t> chunk;
      ++t.ranges;
      if (!Fetch(path, first + shift, last + shift, chunk)) {
        t.errors.push_back(key + ": range " + std::to_string(first) + "-" + std::to_string(last) +
                           " of " + path + " not served");
        ok = false;
      } else if (e->chunkcrc32[static_cast<size_t>(i)] != 0 &&
                 CRC32Value(chunk.data(), chunk.size()) != e->chunkcrc32[static_cast<size_t>(i)]) {
        t.errors.push_back(key + ": chunk " + std::to_string(i) + " fails its CRC");
        ok = false;
      }
      transfer.insert(transfer.end(), chunk.begin(), chunk.end());
    }
    if (!ok) continue;
    std::vector<uint8_t> content = transfer;
    if (e->compressed) {
      TMemoryStream packed(transfer), plain;
      if (!DecompressStream(packed, plain)) {
        t.errors.push_back(key + ": transfer form does not unpack");
        continue;
      }
      content = plain.Bytes();
    }
    TMemoryStream cm(content);
    if (GetStreamMD5(cm) != e->hash) {
      t.errors.push_back(key + ": MD5 differs from the list");
      continue;
    }
    std::string rel = key.substr(1);
    std::replace(rel.begin(), rel.end(), '\\', '/');
    t.files[rel] = std::move(content);
  }
  return t;
}

}  // namespace vantrel::testing
