// Repair benchmark: the repair's check of an intact client against md5sum
// over the same pack. Generates a client of about 1 GiB, publishes it,
// serves it from two nginx mirrors on the benchmark launcher's ports, has
// the real launcher binary install it, then times "repair" (headless) on
// the intact install and "md5sum game_pak" alternately, --runs times each,
// with the pack in the page cache for both.
//
//   repair_bench [--size-mib N] [--runs N] [--dir FOLDER] [--keep]
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "support/nginx_fixture.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;
using namespace vantrel;
using namespace vantrel::bench;

namespace {

struct TOptions {
  int64_t sizemib = 1024;
  int runs = 3;
  std::string dir;
  bool keep = false;
};

void Usage() {
  std::printf(
      "usage: repair_bench [--size-mib N] [--runs N] [--dir FOLDER] [--keep]\n"
      "  Installs a generated client of about N MiB (default 1024) with the launcher binary,\n"
      "  then times the launcher's repair of the intact install against md5sum of its pack,\n"
      "  --runs times each (default 3). FOLDER holds everything (default: a new folder under\n"
      "  $TMPDIR, removed at the end unless --keep).\n");
}

std::vector<int> Ports() {
  std::vector<int> ports;
  std::stringstream in(VANTREL_BENCH_PORTS);
  for (std::string p; std::getline(in, p, ',');) ports.push_back(std::stoi(p));
  return ports;
}

TMeasured RunLauncher(const std::string& game, const std::string& command,
                      const std::string& output) {
  TCommand c;
  c.argv = {game + "/Launcher.exe", "--headless", command};
  c.stdoutfile = output;
  const TMeasured m = RunSequence({c});
  if (!m.ok) std::printf("  the launcher failed; its last lines:\n%s", TailOfFile(output, 12).c_str());
  return m;
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
      std::fprintf(stderr, "repair_bench: unknown argument %s\n", a.c_str());
      Usage();
      return 2;
    }
  }
  if (o.sizemib < 16 || o.runs < 1) {
    std::fprintf(stderr, "repair_bench: --size-mib must be at least 16, --runs at least 1\n");
    return 2;
  }
  bool made = false;
  if (o.dir.empty()) {
    o.dir = MakeTempFolder();
    made = true;
  }
  std::printf("repair_bench: %s\n", LoadAverageText().c_str());
  const std::string root = o.dir + "/www";
  const std::string served = root + "/kestrune";
  std::printf("Generating and publishing a build of about %lld MiB in %s\n",
              static_cast<long long>(o.sizemib), o.dir.c_str());
  std::fflush(stdout);
  TClient client = GenerateClient(o.dir + "/client", o.sizemib);
  PublishClient(client, VANTREL_BENCH_LAUNCHER, served, 1);
  fs::remove_all(client.dir);

  std::vector<std::unique_ptr<testing::TNginxServer>> servers;
  try {
    for (int port : Ports()) {
      testing::TServerOptions so;
      so.port = port;
      servers.push_back(std::make_unique<testing::TNginxServer>(testing::TServerMode::Good, root, so));
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr,
                 "repair_bench: cannot serve on the launcher's ports %s (%s); reconfigure the "
                 "build to pick others\n",
                 VANTREL_BENCH_PORTS, e.what());
    return 1;
  }

  const std::string game = o.dir + "/game";
  fs::create_directories(game);
  fs::copy_file(VANTREL_BENCH_LAUNCHER, game + "/Launcher.exe");
  ::chmod((game + "/Launcher.exe").c_str(), 0755);
  const TMeasured install = RunLauncher(game, "check", o.dir + "/launcher.txt");
  const std::string pack = game + "/game_pak";
  const double packmb = install.ok ? static_cast<double>(fs::file_size(pack)) / 1e6 : 0;
  std::printf("Installed with the launcher in %.2f s: pack of %.1f MB\n", install.seconds, packmb);
  bool ok = install.ok;

  TCommand md5;
  md5.argv = {"md5sum", pack};
  std::vector<double> repairs, sums, repaircpu, sumcpu;
  if (ok) {
    RunSequence({md5});  // the pack into the page cache
    std::printf("\n");
    for (int run = 1; run <= o.runs; ++run) {
      // Transfer files asked for: none, on an intact install.
      auto transfers = [&] {
        size_t n = 0;
        for (auto& server : servers) {
          for (const auto& req : server->FileRequests()) {
            if (req.uri.size() > 2 && req.uri.compare(req.uri.size() - 2, 2, ".u") == 0) ++n;
          }
        }
        return n;
      };
      const size_t before = transfers();
      const TMeasured repair = RunLauncher(game, "repair", o.dir + "/launcher.txt");
      const size_t fetched = transfers() - before;
      const TMeasured sum = RunSequence({md5});
      std::printf("run %d repair: %6.2f s (%7.1f MB/s, cpu %5.2f s, peak RSS %5.1f MiB, %zu files "
                  "fetched) %s   md5sum: %6.2f s (%7.1f MB/s, cpu %5.2f s) %s\n",
                  run, repair.seconds, packmb / repair.seconds, repair.cpuseconds, repair.rssmib,
                  fetched, repair.ok ? "ok" : "FAILED", sum.seconds, packmb / sum.seconds,
                  sum.cpuseconds, sum.ok ? "ok" : "FAILED");
      std::fflush(stdout);
      // A repair that fetched files did more than check an intact install.
      ok = ok && repair.ok && sum.ok && fetched == 0;
      repairs.push_back(repair.seconds);
      repaircpu.push_back(repair.cpuseconds);
      sums.push_back(sum.seconds);
      sumcpu.push_back(sum.cpuseconds);
    }
  }
  servers.clear();
  const double r = Median(repairs), s = Median(sums);
  // A failed run (or one that fetched files) measured other work: no figure
  // is drawn from it.
  if (ok) {
    std::printf("\nmedians of %d runs (MB = 10^6 bytes)\n", o.runs);
    std::printf("  repair of the intact install: %6.2f s  %7.1f MB/s  cpu %5.2f s\n", r,
                r > 0 ? packmb / r : 0.0, Median(repaircpu));
    std::printf("  md5sum of the pack          : %6.2f s  %7.1f MB/s  cpu %5.2f s\n", s,
                s > 0 ? packmb / s : 0.0, Median(sumcpu));
  } else {
    std::printf("\na run failed or fetched files (see above): no medians and no ratio\n");
  }
  std::printf("%s\n", LoadAverageText().c_str());
  if (ok) std::printf("repair speed ratio vantrel/md5sum: %.2f\n", r > 0 ? s / r : 0.0);
  if (!o.keep) {
    if (made) {
      fs::remove_all(o.dir);
    } else {
      fs::remove_all(root);
      fs::remove_all(game);
      fs::remove(o.dir + "/launcher.txt");
    }
  }
  return ok ? 0 : 1;
}
