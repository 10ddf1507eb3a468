// Download benchmark: generates a client of about 1 GiB, publishes it with
// the publisher, serves the tree from two local nginx mirrors and fetches
// every transfer file with the launcher's download manager and with aria2c
// doing the same work: four connections, two to each mirror, every byte
// checked and written to disk. Prints wall time, CPU time (the fetching
// side's and the mirrors'), throughput and peak memory of every run, the
// medians, the ratio, and what still differs between the two sides.
//
//   download_bench [--size-mib N] [--runs N] [--dir FOLDER] [--keep]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.h"
#include "download/download_manager.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "publish/publish.h"
#include "support/nginx_fixture.h"
#include "support/server_tree.h"
#include "support/temp_dir.h"
#include "versions/update_utils.h"

namespace fs = std::filesystem;
using namespace vantrel;
using namespace vantrel::bench;

namespace {

constexpr int kWorkersPerMirror = 2;  // the shipped DownloadThreadsPerSever

struct TOptions {
  int64_t sizemib = 1024;
  int runs = 3;
  std::string dir;
  bool keep = false;
};

struct TResult {
  TMeasured run;
  double servercpu = 0;  // the mirrors' CPU time during the fetch
  double mbps = 0;
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

// Runs body in a forked child: wall time, CPU time, peak resident memory.
template <typename F>
TMeasured InChild(F body) {
  std::fflush(stdout);
  TMeasured m;
  const double start = NowSeconds();
  const pid_t pid = fork();
  if (pid < 0) return m;
  if (pid == 0) _exit(body() ? 0 : 1);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  m.seconds = NowSeconds() - start;
  m.rssmib = static_cast<double>(usage.ru_maxrss) / 1024.0;
  m.cpuseconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  m.processes = 1;
  m.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return m;
}

// The download manager as the launcher runs it; files that came in one
// response are written to the download folder too (aria2c writes them).
bool FetchWithVantrel(const TUpdateList& list, const std::vector<std::string>& mirrors,
                      const std::string& out) {
  TDownloadManager manager(mirrors, kWorkersPerMirror, 10000, out, "launcher.version", 36);
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
  for (const auto& [key, e] : list.filelist) refs.emplace(key, e.get());
  return manager.DownloadFileList(refs) && stored;
}

// Every transfer form arrived intact (chunk check values), untimed.
// ours: the download manager's names (key, ".u" only when compressed);
// otherwise the servers' names.
bool Verify(const TUpdateList& list, const std::string& out, bool ours) {
  for (const auto& [key, e] : list.filelist) {
    const std::string local = platform::ToSystemPath(
        ours ? out + key + (e->compressed ? ".u" : "") : out + "/" + publish::TransferPathOfKey(key));
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

void PrintRun(const char* who, int run, const TResult& r) {
  std::printf("run %d %-9s %7.2f s %8.1f MB/s  cpu %6.2f s (+ mirrors %5.2f s)  peak RSS %7.1f MiB"
              "  %s\n",
              run, who, r.run.seconds, r.mbps, r.run.cpuseconds, r.servercpu, r.run.rssmib,
              r.ok ? "ok" : "FAILED");
  std::fflush(stdout);
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
  if (!HasProgram("aria2c")) {
    std::fprintf(stderr, "download_bench: aria2c not found (Debian package aria2)\n");
    return 1;
  }
  bool made = false;
  if (o.dir.empty()) {
    o.dir = MakeTempFolder();
    made = true;
  }
  std::printf("download_bench: %s\n", LoadAverageText().c_str());
  const std::string root = o.dir + "/www";
  const std::string served = root + "/kestrune";
  std::printf("Generating and publishing a build of about %lld MiB in %s\n",
              static_cast<long long>(o.sizemib), o.dir.c_str());
  std::fflush(stdout);
  const double genstart = NowSeconds();
  TClient client = GenerateClient(o.dir + "/client", o.sizemib);
  testing::WriteFileBytes(o.dir + "/Launcher.exe", testing::PatternBytes(300 * 1024, 7, true));
  const TUpdateList list = PublishClient(client, o.dir + "/Launcher.exe", served, 1);
  fs::remove_all(client.dir);  // only the served tree is needed from here on
  // aria2c is given each transfer file's digest.
  const std::vector<TTransferFile> files = TransferFiles(list, served, {}, true);
  int64_t bytes = 0;
  for (const TTransferFile& f : files) bytes += f.size;
  std::printf("  %zu transfer files, %.1f MB, %.1f s\n", files.size(),
              static_cast<double>(bytes) / 1e6, NowSeconds() - genstart);

  std::vector<TResult> ours, theirs, unchecked;
  {
    testing::TNginxServer a(testing::TServerMode::Good, root);
    testing::TNginxServer b(testing::TServerMode::Good, root);
    const std::vector<std::string> mirrors = {a.BaseUrl(), b.BaseUrl()};
    auto servercpu = [&] { return ProcessCpuSeconds(a.Pid()) + ProcessCpuSeconds(b.Pid()); };
    std::printf("Mirrors: %s %s\n", mirrors[0].c_str(), mirrors[1].c_str());
    std::printf(
        "Same work on both sides: %d connections, %d to each mirror, both mirrors used, every\n"
        "byte checked and written to the disk (no pre-allocation, no control files saved).\n"
        "  vantrel: %d workers per mirror; files cut into 512 KiB to 2 MiB ranges spread over\n"
        "           both mirrors; each range checked with its CRC-32 as it arrives.\n"
        "  aria2c : one process per mirror, %s;\n"
        "           whole files, split between the mirrors by bytes, largest first; each file\n"
        "           checked with its transfer file's MD5 after the download.\n"
        "  what differs: the check (CRC-32 per range against MD5 per file, MD5 costs more CPU),\n"
        "           and how files are spread (ranges handed out as workers free up against a\n"
        "           split made in advance).\n\n",
        2 * kWorkersPerMirror, kWorkersPerMirror, kWorkersPerMirror,
        Aria2OptionsText(kWorkersPerMirror).c_str());
    for (int run = 1; run <= o.runs; ++run) {
      const std::string out = o.dir + "/out-vantrel";
      fs::remove_all(out);
      TResult r;
      double cpu0 = servercpu();
      r.run = InChild([&] { return FetchWithVantrel(list, mirrors, out); });
      r.servercpu = servercpu() - cpu0;
      r.mbps = static_cast<double>(bytes) / 1e6 / r.run.seconds;
      r.ok = r.run.ok && Verify(list, out, true);
      PrintRun("vantrel", run, r);
      ours.push_back(r);
      fs::remove_all(out);

      const std::string out2 = o.dir + "/out-aria2";
      fs::remove_all(out2);
      TResult r2;
      cpu0 = servercpu();
      r2.run = RunTogether(Aria2Fetch(files, mirrors, out2, o.dir, kWorkersPerMirror, true));
      r2.servercpu = servercpu() - cpu0;
      r2.mbps = static_cast<double>(bytes) / 1e6 / r2.run.seconds;
      r2.ok = r2.run.ok && Verify(list, out2, false);
      PrintRun("aria2c", run, r2);
      theirs.push_back(r2);
      fs::remove_all(out2);

      // For reference: aria2c checking nothing.
      TResult r3;
      cpu0 = servercpu();
      r3.run = RunTogether(Aria2Fetch(files, mirrors, out2, o.dir, kWorkersPerMirror, false));
      r3.servercpu = servercpu() - cpu0;
      r3.mbps = static_cast<double>(bytes) / 1e6 / r3.run.seconds;
      r3.ok = r3.run.ok && Verify(list, out2, false);
      PrintRun("aria2c-nc", run, r3);
      unchecked.push_back(r3);
      fs::remove_all(out2);
    }
  }
  bool allok = true;
  for (const auto& r : ours) allok = allok && r.ok;
  for (const auto& r : theirs) allok = allok && r.ok;
  for (const auto& r : unchecked) allok = allok && r.ok;
  auto median = [](const std::vector<TResult>& v, auto field) {
    std::vector<double> x;
    for (const auto& r : v) x.push_back(field(r));
    return Median(x);
  };
  auto seconds = [](const TResult& r) { return r.run.seconds; };
  auto mbps = [](const TResult& r) { return r.mbps; };
  auto cpu = [](const TResult& r) { return r.run.cpuseconds; };
  auto server = [](const TResult& r) { return r.servercpu; };
  auto rss = [](const TResult& r) { return r.run.rssmib; };
  const double ourmbps = median(ours, mbps);
  const double theirmbps = median(theirs, mbps);
  const double uncheckedmbps = median(unchecked, mbps);
  // A failed run has no throughput: its figures would compare unlike work.
  if (allok) {
    std::printf("\nmedians of %d runs (MB = 10^6 bytes)\n", o.runs);
    std::printf("  vantrel:          %7.2f s %8.1f MB/s  cpu %6.2f s (+ mirrors %5.2f s)  peak RSS %7.1f MiB\n",
                median(ours, seconds), ourmbps, median(ours, cpu), median(ours, server),
                median(ours, rss));
    std::printf("  aria2c:           %7.2f s %8.1f MB/s  cpu %6.2f s (+ mirrors %5.2f s)  peak RSS %7.1f MiB"
                " (both processes)\n",
                median(theirs, seconds), theirmbps, median(theirs, cpu), median(theirs, server),
                median(theirs, rss));
    std::printf("  aria2c, no check: %7.2f s %8.1f MB/s  cpu %6.2f s (+ mirrors %5.2f s)  peak RSS "
                "%7.1f MiB (for reference: not the same work)\n",
                median(unchecked, seconds), uncheckedmbps, median(unchecked, cpu),
                median(unchecked, server), median(unchecked, rss));
  } else {
    std::printf("\na run failed (see above): no medians and no ratio\n");
  }
  if (!o.keep) {
    if (made) {
      fs::remove_all(o.dir);
    } else {
      fs::remove_all(root);
      fs::remove(o.dir + "/Launcher.exe");
      for (int m = 0; m < 2; ++m) {
        fs::remove(o.dir + "/aria2-input-" + std::to_string(m) + ".txt");
        fs::remove(o.dir + "/aria2-output-" + std::to_string(m) + ".txt");
      }
    }
  }
  std::printf("%s\n", LoadAverageText().c_str());
  if (allok) {
    std::printf("throughput ratio vantrel/aria2c, checking nothing: %.2f (for reference)\n",
                uncheckedmbps > 0 ? ourmbps / uncheckedmbps : 0.0);
    std::printf("throughput ratio vantrel/aria2c: %.2f (same connections and mirrors; CRC-32 per "
                "range against MD5 per file)\n",
                theirmbps > 0 ? ourmbps / theirmbps : 0.0);
  }
  return allok ? 0 : 1;
}
