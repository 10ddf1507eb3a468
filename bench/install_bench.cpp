// Install benchmark: what a player waits for. Generates a client of about
// 1 GiB, publishes it, serves it from two nginx mirrors on the ports the
// benchmark launcher's configuration names, and has the real launcher
// binary (headless "check") install it into an empty game folder, then
// update it to a second build with a tenth of the files changed. Beside
// each, on the same bytes, the standalone rate of every stage with a
// well-known tool and the bound they imply on this machine's cores; and
// the install once more with a throttled disk, for its peak memory.
//
//   install_bench [--size-mib N] [--slow-disk-mbps N] [--dir FOLDER] [--keep]
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "platform/errors.h"
#include "support/nginx_fixture.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;
using namespace vantrel;
using namespace vantrel::bench;

namespace {

struct TOptions {
  int64_t sizemib = 1024;
  int64_t slowdiskmbps = 40;
  std::string dir;
  bool keep = false;
};

void Usage() {
  std::printf(
      "usage: install_bench [--size-mib N] [--slow-disk-mbps N] [--dir FOLDER] [--keep]\n"
      "  Installs a generated client of about N MiB (default 1024) with the launcher binary\n"
      "  from two local nginx mirrors, updates it to a build with a tenth of its files\n"
      "  changed, and measures each stage on the same bytes with aria2c, pigz, md5sum,\n"
      "  cp and sync. Then installs again with every file write throttled to N MB/s\n"
      "  (default 40; 0 skips it) and reports peak memory. FOLDER holds everything (default:\n"
      "  a new folder under $TMPDIR, removed at the end unless --keep).\n");
}

std::vector<int> Ports() {
  std::vector<int> ports;
  std::stringstream in(VANTREL_BENCH_PORTS);
  for (std::string p; std::getline(in, p, ',');) ports.push_back(std::stoi(p));
  return ports;
}

// A game folder holding only the launcher.
std::string NewGameFolder(const std::string& path) {
  fs::remove_all(path);
  fs::create_directories(path);
  const std::string launcher = path + "/Launcher.exe";
  fs::copy_file(VANTREL_BENCH_LAUNCHER, launcher);
  ::chmod(launcher.c_str(), 0755);
  return path;
}

// The launcher's "check" in a game folder, measured.
TMeasured RunCheck(const std::string& game, const std::string& output,
                   const std::vector<std::string>& env = {}) {
  TCommand c;
  c.argv = {game + "/Launcher.exe", "--headless", "check"};
  c.stdoutfile = output;
  c.env = env;
  const TMeasured m = RunSequence({c});
  if (!m.ok) std::printf("  the launcher failed; its last lines:\n%s", TailOfFile(output, 12).c_str());
  return m;
}

void PrintLauncherRun(const char* what, const TMeasured& m, int64_t bytes) {
  std::printf("  %s: %.2f s, %.1f MB/s of transfer files, cpu %.2f s, peak RSS %.1f MiB  %s\n",
              what, m.seconds, static_cast<double>(bytes) / 1e6 / m.seconds, m.cpuseconds,
              m.rssmib, m.ok ? "ok" : "FAILED");
  std::fflush(stdout);
}

int64_t SumBytes(const std::vector<TTransferFile>& files) {
  int64_t sum = 0;
  for (const TTransferFile& f : files) sum += f.size;
  return sum;
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
    } else if (a == "--slow-disk-mbps" && i + 1 < argc) {
      o.slowdiskmbps = std::atoll(argv[++i]);
    } else if (a == "--dir" && i + 1 < argc) {
      o.dir = argv[++i];
    } else if (a == "--keep") {
      o.keep = true;
    } else {
      std::fprintf(stderr, "install_bench: unknown argument %s\n", a.c_str());
      Usage();
      return 2;
    }
  }
  if (o.sizemib < 16 || o.slowdiskmbps < 0) {
    std::fprintf(stderr, "install_bench: --size-mib must be at least 16\n");
    return 2;
  }
  for (const char* tool : {"aria2c", "pigz", "md5sum", "cp", "sync"}) {
    if (!HasProgram(tool)) {
      std::fprintf(stderr, "install_bench: %s not found (scripts/lib/deps.sh installs it)\n",
                   tool);
      return 1;
    }
  }
  bool made = false;
  if (o.dir.empty()) {
    o.dir = MakeTempFolder();
    made = true;
  }
  std::printf("install_bench: %s\n", LoadAverageText().c_str());
  const std::string root = o.dir + "/www";
  const std::string served = root + "/kestrune";
  std::printf("Generating and publishing a build of about %lld MiB in %s\n",
              static_cast<long long>(o.sizemib), o.dir.c_str());
  std::fflush(stdout);
  double start = NowSeconds();
  TClient client = GenerateClient(o.dir + "/client", o.sizemib);
  TUpdateList list1 = PublishClient(client, VANTREL_BENCH_LAUNCHER, served, 1);
  const std::vector<TTransferFile> all = TransferFiles(list1, served);
  std::printf("  %zu transfer files, %.1f MB, %.1f s\n", all.size(),
              static_cast<double>(SumBytes(all)) / 1e6, NowSeconds() - start);

  bool ok = true;
  std::vector<std::unique_ptr<testing::TNginxServer>> servers;
  std::vector<std::string> mirrors;
  std::vector<pid_t> pids;
  try {
    for (int port : Ports()) {
      testing::TServerOptions so;
      so.port = port;
      servers.push_back(std::make_unique<testing::TNginxServer>(testing::TServerMode::Good, root, so));
      mirrors.push_back(servers.back()->BaseUrl());
      pids.push_back(servers.back()->Pid());
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr,
                 "install_bench: cannot serve on the launcher's ports %s (%s); reconfigure the "
                 "build to pick others\n",
                 VANTREL_BENCH_PORTS, e.what());
    return 1;
  }
  std::printf("Mirrors: %s %s (the launcher's configuration; 2 workers each)\n\n",
              mirrors[0].c_str(), mirrors[1].c_str());

  std::vector<std::string> rels;
  for (const TClientFile& f : client.files) rels.push_back(f.rel);

  std::printf("Install of build 1 into an empty game folder (launcher --headless check)\n");
  const std::string game = NewGameFolder(o.dir + "/game");
  const TMeasured install = RunCheck(game, o.dir + "/install.txt");
  PrintLauncherRun("install", install, SumBytes(all));
  ok = ok && install.ok;
  std::printf("Each stage alone on the same bytes:\n");
  const TBound installbound =
      MeasureStageBound(all, served, client.dir, rels, mirrors, pids, o.dir + "/scratch");
  PrintBound(installbound);
  ok = ok && installbound.ok;

  std::printf("\nUpdate to build 2, a tenth of the files changed\n");
  const std::vector<TClientFile> changed = ChangeClient(client);
  TUpdateList list2 = PublishClient(client, VANTREL_BENCH_LAUNCHER, served, 2);
  std::vector<std::string> changedkeys, changedrels;
  int64_t changedclientbytes = 0;
  for (const TClientFile& f : changed) {
    changedkeys.push_back(KeyOf(f.rel));
    changedrels.push_back(f.rel);
    changedclientbytes += f.size;
  }
  const std::vector<TTransferFile> delta = TransferFiles(list2, served, changedkeys);
  std::printf("  %zu of %zu files changed, %.1f MB of client files, %.1f MB of transfer files\n",
              changed.size(), client.files.size(), static_cast<double>(changedclientbytes) / 1e6,
              static_cast<double>(SumBytes(delta)) / 1e6);
  const TMeasured update = RunCheck(game, o.dir + "/update.txt");
  PrintLauncherRun("update", update, SumBytes(delta));
  ok = ok && update.ok;
  std::printf("Each stage alone on the same bytes:\n");
  const TBound updatebound =
      MeasureStageBound(delta, served, client.dir, changedrels, mirrors, pids, o.dir + "/scratch");
  PrintBound(updatebound);
  ok = ok && updatebound.ok;
  fs::remove_all(game);

  TMeasured slow;
  if (o.slowdiskmbps > 0) {
    std::printf("\nInstall of build 2 with every file write throttled to %lld MB/s\n",
                static_cast<long long>(o.slowdiskmbps));
    const std::string game2 = NewGameFolder(o.dir + "/game-slow");
    slow = RunCheck(game2, o.dir + "/install-slow.txt",
                    {std::string("LD_PRELOAD=") + VANTREL_BENCH_SLOW_WRITES,
                     "VANTREL_SLOW_WRITE_MBPS=" + std::to_string(o.slowdiskmbps)});
    PrintLauncherRun("install, slow disk", slow, SumBytes(TransferFiles(list2, served)));
    ok = ok && slow.ok;
    fs::remove_all(game2);
  }
  servers.clear();

  // A failed run measured other work: no ratio is drawn from it.
  if (ok) {
    std::printf("\nSummary (MB = 10^6 bytes; ratio = bound / measured, 1.0 is the bound)\n");
    std::printf("  install: %7.2f s  bound %7.2f s  ratio %.2f  peak RSS %6.1f MiB\n",
                install.seconds, installbound.seconds, installbound.seconds / install.seconds,
                install.rssmib);
    std::printf("  update : %7.2f s  bound %7.2f s  ratio %.2f  peak RSS %6.1f MiB\n",
                update.seconds, updatebound.seconds, updatebound.seconds / update.seconds,
                update.rssmib);
    if (o.slowdiskmbps > 0) {
      std::printf("  install with writes at %lld MB/s: %7.2f s  peak RSS %6.1f MiB\n",
                  static_cast<long long>(o.slowdiskmbps), slow.seconds, slow.rssmib);
    }
  } else {
    std::printf("\nA run failed (see above): no summary\n");
  }
  std::printf("  %s\n", LoadAverageText().c_str());
  if (!o.keep) fs::remove_all(made ? o.dir : root);
  if (!o.keep && !made) {
    fs::remove_all(client.dir);
    for (const char* f : {"install.txt", "update.txt", "install-slow.txt"}) fs::remove(o.dir + "/" + f);
  }
  return ok ? 0 : 1;
}
