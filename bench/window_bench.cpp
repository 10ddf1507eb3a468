// The window's costs, measured on a virtual display with the launcher's own
// page: the time from start to the first painted frame of the page, the CPU
// share of every launcher process (the launcher and the engine's web and
// network processes) while the page shows a client that is ready and
// nothing else happens but the page's own polling and banners, and their
// resident memory.
//
// The launcher is a test-hooks build of the launcher with the real page,
// whose configuration names a loopback port picked when the build is
// configured; the benchmark serves a published sample client and the demo's
// launcher data (demo/launcherdata) there with nginx, installs the client
// with the window once, then measures.
//
//   window_bench [--idle-seconds N] [--runs N]
//
// Prints figures; asserts nothing.
#include <dirent.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/nginx_fixture.h"
#include "support/publish_tree.h"
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

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

namespace fs = std::filesystem;

// The demo's launcher data as the service would serve it: each LANG.txt of
// src becomes root/request/launcherdata/LANG/index.html, with the server
// time in place of "@SERVERTIME@" and each picture NAME.png of src as a
// data: URL in place of "@NAME.png@" (as scripts/lib/launcher-data.sh does).
void WriteLauncherData(const std::string& src, const std::string& root) {
  std::map<std::string, std::string> pictures;
  for (const auto& e : fs::directory_iterator(src)) {
    if (e.path().extension() != ".png") continue;
    const std::vector<uint8_t> bytes = vantrel::testing::ReadFileBytes(e.path().string());
    std::string b64(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(b64.data()), bytes.data(),
                                  static_cast<int>(bytes.size()));
    b64.resize(static_cast<size_t>(n));
    pictures["@" + e.path().filename().string() + "@"] = "data:image/png;base64," + b64;
  }
  char now[16];
  const std::time_t t = std::time(nullptr);
  std::strftime(now, sizeof now, "%H:%M", std::localtime(&t));
  pictures["@SERVERTIME@"] = now;
  for (const auto& e : fs::directory_iterator(src)) {
    if (e.path().extension() != ".txt") continue;
    std::string text = vantrel::testing::ReadFileText(e.path().string());
    for (const auto& [placeholder, value] : pictures) {
      for (size_t at; (at = text.find(placeholder)) != std::string::npos;) {
        text.replace(at, placeholder.size(), value);
      }
    }
    const fs::path dir = fs::path(root) / "request" / "launcherdata" / e.path().stem();
    fs::create_directories(dir);
    vantrel::testing::WriteFileText((dir / "index.html").string(), text);
  }
}

// True once the page shows the client ready (Play enabled, the ready
// status) and the launcher data's news.
const char* kReady =
    "const s = document.getElementById('launchstatusmessage').textContent;"
    "return s === Lang.show('ApplicationReady')"
    " && !document.getElementById('launchgamebtn').hasAttribute('disabled')"
    " && document.querySelector('#last-news__content a') !== null";

// Waits until the page shows the client ready; false after timeoutms.
bool WaitReady(TLauncherWindow& w, int timeoutms) {
  return w.WaitFor(kReady, "true", timeoutms) == "true";
}

void CloseByPage(TLauncherWindow& w) {
  w.Eval("document.getElementById('close').click(); return 1");
  if (w.WaitExit(60000) < 0) std::printf("the window did not close\n");
}

}  // namespace

int main(int argc, char** argv) {
  int idleseconds = 300;
  int runs = 5;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--idle-seconds" && i + 1 < argc) {
      idleseconds = std::atoi(argv[++i]);
    } else if (a == "--runs" && i + 1 < argc) {
      runs = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: %s [--idle-seconds N] [--runs N]\n", argv[0]);
      return 2;
    }
  }
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  vantrel::testing::TXvfb xvfb;
  vantrel::testing::TTempDir game, elsewhere, server;
  const std::string exe = game.File("Launcher.exe");
  fs::copy_file(VANTREL_BENCH_LAUNCHER, exe);

  // The server: a published sample client and the launcher data, on the
  // port the bench launcher's configuration names.
  const std::string client = server.File("client");
  vantrel::testing::WriteClientFolder(client, vantrel::testing::SampleClientFiles());
  vantrel::publish::TPublishOptions o;
  o.clientdir = client;
  o.launcherfile = VANTREL_BENCH_LAUNCHER;
  o.launchername = "Launcher.exe";
  o.outdir = server.File("kestrune");
  o.updateversion = 1;
  vantrel::testing::PublishTree(o);
  WriteLauncherData(VANTREL_BENCH_LAUNCHER_DATA, server.Path());
  vantrel::testing::TServerOptions so;
  so.port = VANTREL_BENCH_PORT;
  vantrel::testing::TNginxServer nginx(vantrel::testing::TServerMode::Good, server.Path(), so);
  std::printf("launcher: %s (the launcher's page, res:default.htm)\n", VANTREL_BENCH_LAUNCHER);
  std::printf("server:   http://127.0.0.1:%d/ (a published sample client, launcher data of %s)\n",
              nginx.Port(), VANTREL_BENCH_LAUNCHER_DATA);

  // The client is installed once, by the window, before anything is measured.
  {
    TLauncherWindow w(exe, {}, elsewhere.Path());
    if (!WaitReady(w, 180000)) {
      std::printf(
          "the window did not install the client: %s\n%s\n",
          w.Eval("return document.getElementById('launchstatusmessage').textContent").c_str(),
          w.Stderr().c_str());
      return 1;
    }
    CloseByPage(w);
    std::printf("client installed by the window\n");
  }

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
    if (r != "true")
      std::printf("%s (status %d)\n%s\n", r.c_str(), w.WaitExit(0), w.Stderr().c_str());
    // The version check ends before the window closes, as a player's would.
    WaitReady(w, 60000);
    CloseByPage(w);
  }

  // Idle: the page shows the client ready with its launcher data; it polls
  // the launcher's state (status every 200 ms, buttons every 100 ms) and
  // turns its banners; nothing else runs.
  TLauncherWindow w(exe, {}, elsewhere.Path());
  if (!WaitReady(w, 60000)) {
    std::printf("the page did not show the client ready\n%s\n", w.Stderr().c_str());
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::seconds(3));
  const long hz = ::sysconf(_SC_CLK_TCK);
  auto before = ReadProcs();
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(idleseconds));
  auto after = ReadProcs();
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  long long ticks = 0, rsskb = 0, psskb = 0;
  std::printf("idle for %.0f s, the page showing the client ready:\n", seconds);
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
  const bool stillready = w.Eval(kReady) == "true";
  if (!paints.empty()) {
    double sum = 0;
    for (double p : paints) sum += p;
    std::printf("first paint: mean %.0f ms over %zu runs\n", sum / paints.size(), paints.size());
  }
  std::printf("idle CPU, all launcher processes: %.2f %% of one core\n",
              100.0 * ticks / hz / seconds);
  std::printf("resident memory, all launcher processes: RSS %.1f MiB, PSS %.1f MiB\n",
              rsskb / 1024.0, psskb / 1024.0);
  std::printf("page still showing the client ready at the end: %s\n", stillready ? "yes" : "no");
  CloseByPage(w);
  std::printf("exit status: %d\n", w.WaitExit(20000));
  return 0;
}
