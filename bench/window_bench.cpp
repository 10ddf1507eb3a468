// The window's costs, measured on a virtual display: the time from start to
// the first painted frame of the page, the CPU share of every launcher
// process (the launcher and the engine's web and network processes) while
// the page polls the launcher state and nothing else happens, and their
// resident memory.
//
//   window_bench [--idle-seconds N] [--runs N] [--launcher PATH]
//
// Prints figures; asserts nothing.
#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"
#include "support/window_driver.h"
#include "support/xvfb_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;
using vantrel::testing::TLauncherWindow;

struct TProc {
  int ppid = 0;
  long long ticks = 0;  // user + system
  std::string name;
};

std::map<int, TProc> ReadProcs() {
  std::map<int, TProc> procs;
  DIR* d = ::opendir("/proc");
  if (d == nullptr) return procs;
  while (dirent* e = ::readdir(d)) {
    const int pid = std::atoi(e->d_name);
    if (pid <= 0) continue;
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line)) continue;
    const size_t open = line.find('('), close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    TProc p;
    p.name = line.substr(open + 1, close - open - 1);
    std::istringstream rest(line.substr(close + 2));
    std::vector<std::string> f;
    for (std::string s; rest >> s;) f.push_back(s);
    if (f.size() < 13) continue;
    p.ppid = std::atoi(f[1].c_str());
    p.ticks = std::atoll(f[11].c_str()) + std::atoll(f[12].c_str());
    procs[pid] = p;
  }
  ::closedir(d);
  return procs;
}

// The launcher and every process below it.
std::set<int> Tree(int root, const std::map<int, TProc>& procs) {
  std::set<int> tree{root};
  for (bool grew = true; grew;) {
    grew = false;
    for (const auto& [pid, p] : procs) {
      if (tree.count(p.ppid) && !tree.count(pid)) {
        tree.insert(pid);
        grew = true;
      }
    }
  }
  return tree;
}

long long StatusKb(int pid, const char* file, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(field, 0) == 0) return std::atoll(line.c_str() + std::strlen(field));
  }
  return 0;
}

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

}  // namespace

int main(int argc, char** argv) {
  int idleseconds = 300;
  int runs = 5;
  std::string launcher = VANTREL_BENCH_LAUNCHER;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--idle-seconds" && i + 1 < argc) {
      idleseconds = std::atoi(argv[++i]);
    } else if (a == "--runs" && i + 1 < argc) {
      runs = std::atoi(argv[++i]);
    } else if (a == "--launcher" && i + 1 < argc) {
      launcher = argv[++i];
    } else {
      std::fprintf(stderr, "usage: %s [--idle-seconds N] [--runs N] [--launcher PATH]\n", argv[0]);
      return 2;
    }
  }
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  vantrel::testing::TXvfb xvfb;
  vantrel::testing::TTempDir game, elsewhere;
  const std::string exe = game.File("Launcher.exe");
  std::filesystem::copy_file(launcher, exe);
  std::printf("launcher: %s\npage: %s\n", launcher.c_str(), VANTREL_BENCH_PAGE);

  // First paint: from the start of the process until the page, loaded, has
  // gone through two animation frames (the first one painted).
  const char* kPainted =
      "if (document.readyState !== 'complete') return false;"
      "await new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(r)));"
      "return true";
  std::vector<double> paints;
  for (int run = 0; run < runs; ++run) {
    const auto start = Clock::now();
    TLauncherWindow w(exe, {}, elsewhere.Path());
    // The page sizes its window once it runs; then its first frame.
    std::string r;
    while (Clock::now() - start < std::chrono::seconds(30)) {
      const std::string d = w.Describe();
      if (d.find("\"width\":1,") == std::string::npos && d.rfind("error", 0) != 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    r = w.Eval(kPainted, 20000);
    paints.push_back(Ms(Clock::now() - start));
    std::printf("first paint, run %d: %.0f ms%s\n", run + 1, paints.back(),
                r == "true" ? "" : " (no paint)");
    if (r != "true") std::printf("%s (status %d)\n%s\n", r.c_str(), w.WaitExit(0), w.Stderr().c_str());
    w.Eval("setTimeout(() => Engine.closeWindow(), 0); return 1");
    w.WaitExit(20000);
  }

  // Idle: the page polls the state as the launcher's page does (status every
  // 200 ms, buttons every 100 ms); nothing else runs.
  TLauncherWindow w(exe, {}, elsewhere.Path());
  for (int i = 0; i < 60 && w.Eval(kPainted, 20000) != "true"; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  if (std::string(VANTREL_BENCH_PAGE) == "test") {
    w.Eval("setInterval(() => GetStatusMessages(), 200); setInterval(() => GetButtonsState(), 100);"
           " return 1");
  }
  std::this_thread::sleep_for(std::chrono::seconds(3));
  const long hz = ::sysconf(_SC_CLK_TCK);
  auto before = ReadProcs();
  const auto tree = Tree(w.Pid(), before);
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(idleseconds));
  auto after = ReadProcs();
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  long long ticks = 0, rsskb = 0, psskb = 0;
  std::printf("idle for %.0f s with the page polling:\n", seconds);
  for (int pid : Tree(w.Pid(), after)) {
    const long long was = before.count(pid) ? before[pid].ticks : 0;
    const long long used = after[pid].ticks - was;
    const long long rss = StatusKb(pid, "status", "VmRSS:");
    const long long pss = StatusKb(pid, "smaps_rollup", "Pss:");
    ticks += used;
    rsskb += rss;
    psskb += pss;
    std::printf("  %-20s pid %-7d cpu %5.2f %%  rss %6lld KiB  pss %6lld KiB\n",
                after[pid].name.c_str(), pid, 100.0 * used / hz / seconds, rss, pss);
  }
  (void)tree;
  double sum = 0;
  for (double p : paints) sum += p;
  std::printf("first paint: mean %.0f ms over %zu runs\n", sum / paints.size(), paints.size());
  std::printf("idle CPU, all launcher processes: %.2f %% of one core\n",
              100.0 * ticks / hz / seconds);
  std::printf("resident memory, all launcher processes: RSS %.1f MiB, PSS %.1f MiB\n",
              rsskb / 1024.0, psskb / 1024.0);
  w.Eval("setTimeout(() => Engine.closeWindow(), 0); return 1");
  std::printf("exit status: %d\n", w.WaitExit(20000));
  return 0;
}
