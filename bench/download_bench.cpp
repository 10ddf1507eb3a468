// Download benchmark: generates a client of about 1 GiB, publishes it with
// the publisher, serves the tree from two local nginx mirrors and fetches it
// with the launcher's download manager (two workers per server, as shipped)
// and with aria2c over the same mirrors, three times each. Prints wall time,
// throughput and peak memory of every run, the medians and the ratio of the
// two. Each fetch runs in a child process of its own so that its peak
// resident memory can be measured.
//
//   download_bench [--size-mib N] [--runs N] [--dir FOLDER] [--keep]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "download/download_manager.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "publish/publish.h"
#include "support/nginx_fixture.h"
#include "support/server_tree.h"
#include "versions/update_utils.h"

namespace fs = std::filesystem;
using namespace vantrel;

namespace {

struct TOptions {
  int64_t sizemib = 1024;
  int runs = 3;
  std::string dir;
  bool keep = false;
};

struct TBuild {
  TUpdateList list;                          // the published client.version
  std::map<std::string, std::string> paths;  // key -> path below /kestrune/
  int64_t clientbytes = 0;                   // sum of the client's files
  int64_t bytes = 0;                         // sum of the transfer forms
};

struct TResult {
  double seconds = 0;
  double mbps = 0;
  double rssmib = 0;
  double cpuseconds = 0;  // user + system time of the fetching process
  bool ok = false;
};

void Usage() {
  std::printf(
      "usage: download_bench [--size-mib N] [--runs N] [--dir FOLDER] [--keep]\n"
      "  Generates a build of about N MiB (default 1024), serves it from two local nginx\n"
      "  mirrors and fetches it with the download manager and with aria2c, --runs times\n"
      "  each (default 3). FOLDER holds the build and the downloads (default: a new folder\n"
      "  under $TMPDIR, removed at the end unless --keep).\n");
}

void AddFile(TBuild& build, const std::string& client, const std::string& rel, size_t size,
             uint32_t seed, bool compressible) {
  testing::WriteFileBytes(client + "/" + rel, testing::PatternBytes(size, seed, compressible));
  build.clientbytes += static_cast<int64_t>(size);
}

// A client of many small files, some of several MiB and a few of more than
// 100 MiB, published with the publisher: text-like files (.txt, .pak, .dat)
// travel compressed, random ones (.bin, .raw) as they are.
void Generate(TBuild& build, const std::string& dir, int64_t sizemib) {
  const std::string client = dir + "/client";
  const double scale = static_cast<double>(sizemib) / 1024.0;
  std::mt19937 random(12345);
  const int small = std::max(1, static_cast<int>(1500 * scale));
  for (int i = 0; i < small; ++i) {
    const bool text = i % 2 == 0;
    AddFile(build, client, "data/small/s" + std::to_string(i) + (text ? ".txt" : ".bin"),
            4096 + random() % (60 * 1024), static_cast<uint32_t>(i), text);
  }
  const int medium = std::max(1, static_cast<int>(40 * scale));
  for (int i = 0; i < medium; ++i) {
    const bool text = i % 3 == 0;
    AddFile(build, client, "data/medium/m#" + std::to_string(i) + (text ? ".pak" : ".raw"),
            (2u << 20) + random() % (6u << 20), static_cast<uint32_t>(10000 + i), text);
  }
  const int64_t left = sizemib * 1024 * 1024 - build.clientbytes;
  const int large = 5;
  for (int i = 0; i < large; ++i) {
    const bool text = i < 1;
    AddFile(build, client, "bin32/large" + std::to_string(i) + (text ? ".dat" : ".raw"),
            static_cast<size_t>(std::max<int64_t>(left / large, 1 << 20)),
            static_cast<uint32_t>(20000 + i), text);
  }
  std::printf("  client: %d small files, %d of several MiB, %d large, %.1f MB\n", small, medium,
              large, static_cast<double>(build.clientbytes) / 1e6);
  testing::WriteFileBytes(dir + "/Launcher.exe", testing::PatternBytes(300 * 1024, 7, true));
  publish::TPublishOptions options;
  options.clientdir = client;
  options.launcherfile = dir + "/Launcher.exe";
  options.outdir = dir + "/www/kestrune";
  options.updateversion = 1;
  options.exclude = ".bin;.raw";
  publish::Publish(options);
  if (!build.list.LoadFromFile(options.outdir + "/client.version")) {
    throw EVantrelError("the published client.version does not load");
  }
  for (const auto& [key, e] : build.list.filelist) {
    build.paths[key] = publish::TransferPathOfKey(key);
    build.bytes += e->size;
  }
  fs::remove_all(client);  // only the served tree is needed from here on
}

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Runs body in a child process; wall time, peak RSS and success.
template <typename F>
TResult InChild(F body, int64_t bytes) {
  std::fflush(stdout);
  const double start = Now();
  const pid_t pid = fork();
  if (pid < 0) return {};
  if (pid == 0) _exit(body() ? 0 : 1);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  TResult r;
  r.seconds = Now() - start;
  r.mbps = static_cast<double>(bytes) / 1e6 / r.seconds;
  r.rssmib = static_cast<double>(usage.ru_maxrss) / 1024.0;
  r.cpuseconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return r;
}

bool FetchWithVantrel(const TBuild& build, const std::vector<std::string>& mirrors,
                      const std::string& out) {
  TDownloadManager manager(mirrors, 2, 10000, out, "launcher.version", 36);
  bool stored = true;
  manager.SetFileDownloadedEvent([&](const std::string& key, TFileDownload& tdf) {
    if (!tdf.stream) return;  // written to the download folder already
    try {
      const std::string local = manager.LocalTransferFile(key, tdf.compressed);
      platform::ForceFolders(platform::ExtractFileDir(local));
      TFileStream file(local, TFileMode::Create);
      file.CopyFrom(*tdf.stream);
    } catch (...) {
      stored = false;
    }
  });
  TUpdateFileRefs refs;
  for (const auto& [key, e] : build.list.filelist) refs.emplace(key, e.get());
  return manager.DownloadFileList(refs) && stored;
}

std::vector<std::string> Aria2Arguments(const std::string& input, const std::string& out) {
  return {"aria2c",
          "--no-conf",
          "--input-file=" + input,
          "--dir=" + out,
          "--max-concurrent-downloads=4",
          "--max-connection-per-server=2",
          "--split=2",
          "--min-split-size=1M",
          "--piece-length=1M",
          "--file-allocation=none",
          "--allow-overwrite=true",
          "--auto-file-renaming=false",
          "--conditional-get=false",
          "--remote-time=false",
          "--uri-selector=inorder",
          "--enable-http-keep-alive=true",
          "--disable-ipv6=true",
          "--console-log-level=error",
          "--summary-interval=0",
          "--download-result=hide",
          "--quiet=true"};
}

void WriteAria2Input(const TBuild& build, const std::vector<std::string>& mirrors,
                     const std::string& input) {
  std::ofstream list(input);
  for (const auto& [key, path] : build.paths) {
    for (size_t i = 0; i < mirrors.size(); ++i) list << (i ? "\t" : "") << mirrors[i] << path;
    list << "\n  out=" << path << "\n";
  }
}

// Runs in the measuring child: becomes aria2c.
bool ExecAria2(const std::string& input, const std::string& out) {
  std::vector<std::string> args = Aria2Arguments(input, out);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  execvp("aria2c", argv.data());
  return false;
}

// Every transfer form arrived intact (chunk check values).
// ours: the download manager's names (key, ".u" only when compressed);
// otherwise the servers' names.
bool Verify(const TBuild& build, const std::string& out, bool ours) {
  for (const auto& [key, e] : build.list.filelist) {
    const std::string local = platform::ToSystemPath(ours ? out + key + (e->compressed ? ".u" : "")
                                                          : out + "/" + build.paths.at(key));
    if (platform::FileSizeOf(local) != e->size) return false;
    TFileStream f(local, TFileMode::OpenRead);
    const int64_t step = e->chunksize;
    for (int32_t i = 0; i * static_cast<int64_t>(step) < e->size; ++i) {
      const int64_t n = std::min<int64_t>(step, e->size - i * static_cast<int64_t>(step));
      if (GetStreamCRC32Value(f, n) != e->chunkcrc32[static_cast<size_t>(i)]) return false;
    }
  }
  return true;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  TOptions o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      Usage();
      return 0;
    } else if (a == "--size-mib" && i + 1 < argc) {
      o.sizemib = std::atoll(argv[++i]);
    } else if (a == "--runs" && i + 1 < argc) {
      o.runs = std::atoi(argv[++i]);
    } else if (a == "--dir" && i + 1 < argc) {
      o.dir = argv[++i];
    } else if (a == "--keep") {
      o.keep = true;
    } else {
      std::fprintf(stderr, "download_bench: unknown argument %s\n", a.c_str());
      Usage();
      return 2;
    }
  }
  if (o.sizemib < 16 || o.runs < 1) {
    std::fprintf(stderr, "download_bench: --size-mib must be at least 16, --runs at least 1\n");
    return 2;
  }
  if (std::system("aria2c --version >/dev/null 2>&1") != 0) {
    std::fprintf(stderr, "download_bench: aria2c not found (Debian package aria2)\n");
    return 1;
  }
  bool made = false;
  if (o.dir.empty()) {
    std::string tmpl = (fs::temp_directory_path() / "vantrel-bench-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) return 1;
    o.dir = tmpl;
    made = true;
  }
  const std::string root = o.dir + "/www";
  std::printf("Generating and publishing a build of about %lld MiB in %s\n",
              static_cast<long long>(o.sizemib), o.dir.c_str());
  std::fflush(stdout);
  const double genstart = Now();
  TBuild build;
  Generate(build, o.dir, o.sizemib);
  std::printf("  %zu files, %.1f MB of transfer files, %.1f s\n", build.list.filelist.size(),
              static_cast<double>(build.bytes) / 1e6, Now() - genstart);

  std::vector<TResult> ours, theirs;
  {
    testing::TNginxServer a(testing::TServerMode::Good, root);
    testing::TNginxServer b(testing::TServerMode::Good, root);
    const std::vector<std::string> mirrors = {a.BaseUrl(), b.BaseUrl()};
    std::printf("Mirrors: %s %s\n", mirrors[0].c_str(), mirrors[1].c_str());
    std::printf("aria2c options:");
    for (const auto& arg : Aria2Arguments("LIST", "OUT")) {
      if (arg.rfind("--", 0) == 0) std::printf(" %s", arg.c_str());
    }
    std::printf("\n(each input entry lists both mirrors; vantrel: 2 workers per mirror)\n\n");
    for (int run = 1; run <= o.runs; ++run) {
      const std::string out = o.dir + "/out-vantrel";
      fs::remove_all(out);
      TResult r = InChild([&] { return FetchWithVantrel(build, mirrors, out); }, build.bytes);
      r.ok = r.ok && Verify(build, out, true);
      std::printf("run %d vantrel: %7.2f s %8.1f MB/s  peak RSS %7.1f MiB  cpu %6.2f s  %s\n", run,
                  r.seconds, r.mbps, r.rssmib, r.cpuseconds, r.ok ? "ok" : "FAILED");
      ours.push_back(r);
      fs::remove_all(out);

      const std::string out2 = o.dir + "/out-aria2";
      fs::remove_all(out2);
      const std::string input = o.dir + "/aria2-input.txt";
      WriteAria2Input(build, mirrors, input);
      TResult r2 = InChild([&] { return ExecAria2(input, out2); }, build.bytes);
      r2.ok = r2.ok && Verify(build, out2, false);
      std::printf("run %d aria2c : %7.2f s %8.1f MB/s  peak RSS %7.1f MiB  cpu %6.2f s  %s\n", run,
                  r2.seconds, r2.mbps, r2.rssmib, r2.cpuseconds, r2.ok ? "ok" : "FAILED");
      theirs.push_back(r2);
      fs::remove_all(out2);
      std::fflush(stdout);
    }
  }
  auto median = [](const std::vector<TResult>& v, double TResult::*field) {
    std::vector<double> x;
    for (const auto& r : v) x.push_back(r.*field);
    return Median(x);
  };
  const double ourmbps = median(ours, &TResult::mbps);
  const double theirmbps = median(theirs, &TResult::mbps);
  std::printf("\nmedians of %d runs (MB = 10^6 bytes)\n", o.runs);
  std::printf("  vantrel: %7.2f s %8.1f MB/s  peak RSS %7.1f MiB\n",
              median(ours, &TResult::seconds), ourmbps, median(ours, &TResult::rssmib));
  std::printf("  aria2c : %7.2f s %8.1f MB/s  peak RSS %7.1f MiB\n",
              median(theirs, &TResult::seconds), theirmbps, median(theirs, &TResult::rssmib));
  bool allok = true;
  for (const auto& r : ours) allok = allok && r.ok;
  for (const auto& r : theirs) allok = allok && r.ok;
  if (!o.keep) {
    if (made) {
      fs::remove_all(o.dir);
    } else {
      fs::remove_all(root);
      fs::remove(o.dir + "/Launcher.exe");
    }
  }
  std::printf("throughput ratio vantrel/aria2c: %.2f\n", theirmbps > 0 ? ourmbps / theirmbps : 0.0);
  return allok ? 0 : 1;
}
