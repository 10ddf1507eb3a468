// The demo's tour of the launcher's window on a virtual display of its own:
// runs a launcher built with the window's test hooks in its game folder,
// follows the page through its stages and saves a picture of each (the page
// cut out of the window, with its alpha):
//
//   vantrel-window-tour --launcher GAME/Launcher.exe --shots DIR --run install|update
//
// install: the page loading, the download twice (the bar moving), the client
//          ready, the same page in Chinese (chosen through the page's language
//          menu); then back to English.
// update:  the update downloading, the client ready again.
//
// Each run ends with a click on the page's close button and waits for the
// launcher to end with 0. Prints one line per picture ("STAGE PATH"); exits
// 1 with the reason when the page shows an error, a stage does not come, or
// the launcher ends otherwise.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/window_driver.h"
#include "support/xvfb_fixture.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using vantrel::testing::TLauncherWindow;

constexpr int kStageTimeoutMs = 180000;

// The page's state in one line: "STATUS BAR DATA LANG", where STATUS is
// downloading, ready, error or other (from the status line and the Play
// button), BAR the progress bar's value (0 to 198), DATA the launcher data
// shown (none, latin or cn by its news texts) and LANG the page's language.
const char* kPageState =
    "const text = (id) => document.getElementById(id).textContent;"
    "const s = text('launchstatusmessage');"
    "const play = !document.getElementById('launchgamebtn').hasAttribute('disabled');"
    "const t = (k) => Lang.show(k);"
    "let st = 'other';"
    "if (s === t('DownloadingAndUnpackingFiles')) st = 'downloading';"
    "else if (s === t('ApplicationReady') && play) st = 'ready';"
    "else if (['VersionCheckError', 'UpdateError', 'ClientCorrupted', 'RepairError', 'LaunchError']"
    "    .some((k) => s === t(k))) st = 'error';"
    "const news = document.getElementById('last-news__content');"
    "const data = !news.querySelector('a') ? 'none' :"
    "    (/[\\u4e00-\\u9fff]/.test(news.textContent) ? 'cn' : 'latin');"
    "return [st, document.getElementById('progressbar').value, data,"
    "    document.documentElement.lang, s].join(' ');";

// True once the body has grown to its full size.
const char* kPageGrown =
    "const b = document.body;"
    "const m = getComputedStyle(b).transform;"
    "return b.classList.contains('shown') && (m === 'none' || new DOMMatrix(m).isIdentity);";

// Waits (at most 10 s) until a banner has finished growing; it then stays
// for about four seconds.
const char* kBannerGrown =
    "const slot = document.getElementById('marketplace');"
    "if (!slot.querySelector('.banner')) return false;"
    "return await new Promise((done) => {"
    "  const timer = setTimeout(() => done(false), 10000);"
    "  slot.addEventListener('transitionend', function grown(e) {"
    "    const b = e.target.classList;"
    "    if (!b.contains('banner') || !b.contains('shown')) return;"
    "    slot.removeEventListener('transitionend', grown);"
    "    clearTimeout(timer);"
    "    done(true);"
    "  });"
    "});";

struct TPageState {
  std::string status;  // downloading, ready, error, other
  int bar = 0;
  std::string data;  // none, latin, cn
  std::string lang;
  std::string text;  // the status line as shown
};

class TTour {
 public:
  TTour(const std::string& launcher, const std::string& shots)
      : shots_(shots), window_(launcher, {}, fs::path(launcher).parent_path().string()) {}

  TPageState State() {
    std::string r = window_.Eval(kPageState);
    if (r.rfind("error:", 0) == 0) throw std::runtime_error("the page does not answer: " + r);
    if (r.size() >= 2 && r.front() == '"') r = r.substr(1, r.size() - 2);
    std::istringstream in(r);
    TPageState s;
    in >> s.status >> s.bar >> s.data >> s.lang;
    std::getline(in >> std::ws, s.text);
    if (s.status == "error") throw std::runtime_error("the page shows an error: " + s.text);
    return s;
  }

  // Polls the page until done(state) holds; each state also goes to seen.
  template <typename Done, typename Seen>
  TPageState Until(const char* what, Done done, Seen seen) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kStageTimeoutMs);
    for (;;) {
      const TPageState s = State();
      seen(s);
      if (done(s)) return s;
      if (Clock::now() > deadline) {
        throw std::runtime_error(std::string("the page did not reach ") + what + "; it shows \"" +
                                 s.text + "\"");
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  template <typename Done>
  TPageState Until(const char* what, Done done) {
    return Until(what, done, [](const TPageState&) {});
  }

  void WaitGrown() {
    if (window_.WaitFor(kPageGrown, "true", 60000) != "true") {
      throw std::runtime_error("the page did not appear");
    }
  }

  // A picture of the page: the window's snapshot cut to the page's box.
  void Shot(const std::string& stage, const std::string& name) {
    const std::string path = (fs::path(shots_) / name).string();
    const std::string whole = path + ".window.png";
    const std::string r = window_.Snapshot(whole);
    if (r.rfind("error", 0) == 0) throw std::runtime_error("no snapshot: " + r);
    std::string box = window_.Eval(
        "const r = document.body.getBoundingClientRect();"
        "return [r.x, r.y, r.width, r.height].map(Math.round).join(' ')");
    if (box.size() >= 2 && box.front() == '"') box = box.substr(1, box.size() - 2);
    int x = 0, y = 0, w = 0, h = 0;
    std::istringstream in(box);
    if (!(in >> x >> y >> w >> h) || w <= 0 || h <= 0) {
      throw std::runtime_error("no page box: " + box);
    }
    const vantrel::testing::TImage img = vantrel::testing::ReadPng(whole);
    vantrel::testing::WritePng(vantrel::testing::CropImage(img, x, y, w, h), path);
    fs::remove(whole);
    std::printf("  %-13s %s\n", stage.c_str(), path.c_str());
  }

  void ShotWithBanner(const std::string& stage, const std::string& name) {
    if (window_.Eval(kBannerGrown, 15000) != "true") {
      std::printf("  (no banner came in time for the %s picture)\n", stage.c_str());
    }
    Shot(stage, name);
  }

  // Chooses a language through the page's menu, as a click on its entry.
  void ChooseLanguage(const std::string& code) {
    const std::string r =
        window_.Eval("document.getElementById('langchange" + code + "').click(); return true");
    if (r != "true") throw std::runtime_error("the language menu does not answer: " + r);
  }

  // The page's close button; the launcher runs its close sequence and ends.
  void Close() {
    window_.Eval("document.getElementById('close').click(); return true");
    const int status = window_.WaitExit(60000);
    if (status != 0) {
      throw std::runtime_error("the launcher ended with " + std::to_string(status) + "\n" +
                               window_.Stderr());
    }
  }

  std::string Stderr() const { return window_.Stderr(); }

 private:
  std::string shots_;
  TLauncherWindow window_;
};

bool Downloading(const TPageState& s, int atleast) {
  return s.status == "downloading" && s.bar >= atleast && s.bar < 198;
}

void InstallRun(TTour& tour) {
  tour.WaitGrown();
  tour.Shot("loading", "1-loading.png");
  // Two pictures of the download, the second with the bar a good step further.
  int shots = 0;
  int firstbar = 0;
  tour.Until(
      "the client ready", [](const TPageState& s) { return s.status == "ready"; },
      [&](const TPageState& s) {
        if (shots == 0 && Downloading(s, 30)) {
          tour.Shot("downloading", "2-downloading.png");
          firstbar = s.bar;
          ++shots;
        } else if (shots == 1 && Downloading(s, firstbar + 25)) {
          tour.Shot("downloading", "3-downloading.png");
          ++shots;
        }
      });
  if (shots < 2) std::printf("  (the download ended before %d of its pictures)\n", 2 - shots);
  tour.Until("the English launcher data",
             [](const TPageState& s) { return s.status == "ready" && s.data == "latin"; });
  tour.ShotWithBanner("ready", "4-ready.png");
  tour.ChooseLanguage("cn");
  tour.Until("the Chinese page", [](const TPageState& s) {
    return s.status == "ready" && s.data == "cn" && s.lang == "cn";
  });
  tour.ShotWithBanner("chinese", "5-chinese.png");
  tour.ChooseLanguage("en");
  tour.Until("the English page again", [](const TPageState& s) {
    return s.status == "ready" && s.data == "latin" && s.lang == "en";
  });
  tour.Close();
}

void UpdateRun(TTour& tour) {
  tour.WaitGrown();
  bool shot = false;
  tour.Until(
      "the client ready", [](const TPageState& s) { return s.status == "ready"; },
      [&](const TPageState& s) {
        if (!shot && Downloading(s, 30)) {
          tour.Shot("updating", "6-updating.png");
          shot = true;
        }
      });
  if (!shot) std::printf("  (the update ended before its picture)\n");
  tour.Until("the English launcher data",
             [](const TPageState& s) { return s.status == "ready" && s.data == "latin"; });
  tour.ShotWithBanner("updated", "7-updated.png");
  tour.Close();
}

int Usage(const char* program) {
  std::fprintf(stderr, "usage: %s --launcher PATH --shots DIR --run install|update\n", program);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string launcher, shots, run;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--launcher") {
      launcher = argv[i + 1];
    } else if (a == "--shots") {
      shots = argv[i + 1];
    } else if (a == "--run") {
      run = argv[i + 1];
    } else {
      return Usage(argv[0]);
    }
  }
  if (argc % 2 == 0 || launcher.empty() || shots.empty() || (run != "install" && run != "update")) {
    return Usage(argv[0]);
  }
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  try {
    fs::create_directories(shots);
    vantrel::testing::TXvfb xvfb;
    TTour tour(fs::absolute(launcher).string(), fs::absolute(shots).string());
    try {
      if (run == "install") {
        InstallRun(tour);
      } else {
        UpdateRun(tour);
      }
    } catch (const std::exception& e) {
      std::fprintf(stderr, "window tour: %s\n--- the launcher's error output:\n%s\n", e.what(),
                   tour.Stderr().c_str());
      return 1;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "window tour: %s\n", e.what());
    return 1;
  }
  return 0;
}
