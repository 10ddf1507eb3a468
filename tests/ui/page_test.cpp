// The launcher's own page in the real window: a test build of the launcher
// (the window's test hooks, every file of src/ui/res) under a virtual
// display, its launcher data from nginx on the data port, real mouse input
// through xdotool. Each test starts one window and runs a group of cases in
// it; a window start costs seconds.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/nginx_fixture.h"
#include "support/publish_tree.h"
#include "support/temp_dir.h"
#include "support/window_driver.h"
#include "support/xvfb_fixture.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using testing::TLauncherWindow;
using testing::TTempDir;
using Args = std::vector<std::string>;

int WebPort() { return std::stoi(std::string(VANTREL_WINDOW_PORTS).substr(0, 5)); }
int DataPort() { return std::stoi(std::string(VANTREL_WINDOW_PORTS).substr(6)); }

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A page script as the driver sends it: one line.
std::string Js(std::string script) {
  std::replace(script.begin(), script.end(), '\n', ' ');
  return script;
}

// text as a JSON string, the form Eval answers in (the texts here need no
// escapes beyond these).
std::string Json(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

// An integer field of a flat JSON object such as Describe() gives.
int JsonInt(const std::string& json, const std::string& field) {
  std::smatch m;
  if (!std::regex_search(json, m, std::regex("\"" + field + "\":(-?[0-9]+)"))) {
    ADD_FAILURE() << "no " << field << " in " << json;
    return 0;
  }
  return std::stoi(m[1].str());
}

// Runs xdotool with args; false when it failed.
bool XDoTool(const Args& args) {
  std::string out;
  const int rc = testing::RunProgram("/usr/bin/xdotool", args, &out);
  EXPECT_EQ(rc, 0) << out;
  return rc == 0;
}

// Launcher data as the service answers: one object literal.
struct TLauncherData {
  std::string servertime = "18:42";
  std::string serverstatus = "<font color=#5ecb52>Online</font>";
  std::vector<std::string> lastupdates;
  std::vector<std::string> lastnews;
  std::vector<std::string> banners;

  std::string Text() const {
    auto list = [](const std::vector<std::string>& items) {
      std::string s = "[";
      for (size_t i = 0; i < items.size(); ++i) s += (i ? ",\n    " : "") + Json(items[i]);
      return s + "]";
    };
    return "({\n  servertime: " + Json(servertime) + ",\n  serverstatus: " + Json(serverstatus) +
           ",\n  lastupdates: " + list(lastupdates) + ",\n  lastnews: " + list(lastnews) +
           ",\n  banners: " + list(banners) + "\n})\n";
  }
};

std::string Banner(int n) {
  return "<div class=\"banner\" id=\"banner" + std::to_string(n) +
         "\"><a href=\"https://www.kestrune.example/news/" + std::to_string(n) + "\">Banner " +
         std::to_string(n) + "</a></div>";
}

TLauncherData GoodData() {
  TLauncherData d;
  d.lastupdates = {"<a href=\"https://www.kestrune.example/patch/212\">Patch 2.12</a> <i>12.06</i>",
                   "<b>Hotfix 2.11.3</b>"};
  d.lastnews = {"<a href=\"https://www.kestrune.example/news/1\">Festival on Friday</a>",
                "Maintenance on Tuesday", "<b>Guild wars</b>: season 4"};
  d.banners = {Banner(1), Banner(2), Banner(3)};
  return d;
}

// The service's web server: the launcher data per language below
// /request/launcherdata/, served by nginx on the data port.
class TDataSite {
 public:
  void Put(const std::string& lang, const std::string& body) {
    const std::string dir = root_.File("request/launcherdata/" + lang);
    fs::create_directories(dir);
    testing::WriteFileText(dir + "/index.html", body);
  }
  void Serve(testing::TServerMode mode = testing::TServerMode::Good, int64_t limitrate = 0) {
    server_.reset();
    testing::TServerOptions o;
    o.port = DataPort();
    if (limitrate > 0) o.limitrate = limitrate;
    server_ = std::make_unique<testing::TNginxServer>(mode, root_.Path(), o);
  }
  void Stop() { server_.reset(); }
  testing::TNginxServer& Server() { return *server_; }

 private:
  TTempDir root_;
  std::unique_ptr<testing::TNginxServer> server_;
};

// Page scripts the tests use.
//
// Ready: the page has placed its window and its growing animation is over.
const char* kShown =
    "return document.body.classList.contains('shown') && "
    "document.body.getAnimations().length === 0";
// Errors the page reports on its debug output, from now on.
const char* kRecordErrors = R"js(
if (!globalThis.testErrors) {
  const errors = [];
  const log = console.error;
  console.error = (...args) => { errors.push(args.join(' ')); log.apply(console, args); };
  globalThis.testErrors = errors;
}
return true;
)js";
// The page's calls to the launcher, seen where they leave the page (the
// handlers every native and the Engine object post to), and the launcher's
// answers to GetStatusMessages and GetButtonsState as the page reads them:
// testAnswers.status / .buttons, when set by the test, stand for the
// launcher's; testAnswers.polls counts the page's polls, testAnswers.calls
// lists every other call with its arguments ('LangSave["cn"]',
// 'Engine["launcherData","en"]'); testAnswers.launcher(name, ...args) asks
// the launcher itself. testAnswers.onPoll, when set, runs once inside the
// page's next status poll: page code that answers no user action (the test's
// own scripts count as the user's).
const char* kAnswers = R"js(
if (!globalThis.testAnswers) {
  const answers = { status: null, buttons: null, polls: { status: 0, buttons: 0 }, calls: [] };
  const launchers = {};
  answers.launcher = (name, ...args) => launchers[name](args);
  const polled = { GetStatusMessages: 'status', GetButtonsState: 'buttons' };
  for (const name of ['LaunchVersionCheck', 'LaunchUpdate', 'LaunchRepair', 'LaunchGame',
      'LangSave', 'GetAuthAndLangData', 'GetStatusMessages', 'GetButtonsState', 'AppClose',
      'vantrel-engine']) {
    const handler = window.webkit.messageHandlers[name];
    const launcher = handler.postMessage;
    launchers[name] = (args) => launcher.call(handler, args);
    Object.defineProperty(handler, 'postMessage', { value: (args) => {
      const key = polled[name];
      if (key) {
        answers.polls[key] += 1;
        if (key === 'status' && answers.onPoll) {
          const run = answers.onPoll;
          answers.onPoll = null;
          run();
        }
        if (answers[key]) return Promise.resolve(JSON.parse(JSON.stringify(answers[key])));
      } else {
        answers.calls.push((name === 'vantrel-engine' ? 'Engine' : name) + JSON.stringify(args));
      }
      return launcher.call(handler, args);
    } });
  }
  globalThis.testAnswers = answers;
}
return true;
)js";

// One virtual display for the suite; per test a game folder holding a copy
// of the test launcher (its settings and log land there), and the helpers
// that drive the page. Each test owns the window it starts.
// The page's commands to the launcher so far (testAnswers must be set up).
const char* kCommands =
    "return testAnswers.calls.filter((c) => "
    "/^(AppClose|LangSave|LaunchGame|LaunchRepair|LaunchUpdate)\\[/.test(c))";

class PageTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { xvfb_ = new testing::TXvfb; }
  static void TearDownTestSuite() {
    delete xvfb_;
    xvfb_ = nullptr;
  }

  PageTest() {
    launcher_ = game_.File("Launcher.exe");
    fs::copy_file(VANTREL_PAGE_LAUNCHER, launcher_);
  }

  // Starts the window and waits until the page is shown.
  std::unique_ptr<TLauncherWindow> StartShown(const Args& args = {}) {
    auto w = std::make_unique<TLauncherWindow>(launcher_, args, elsewhere_.Path());
    EXPECT_EQ(w->WaitFor(kShown, "true", 20000), "true") << w->Stderr();
    EXPECT_EQ(w->Eval(Js(kRecordErrors)), "true");
    return w;
  }

  static std::string Text(TLauncherWindow& w, const std::string& selector) {
    return w.Eval("return document.querySelector(" + Json(selector) + ").textContent");
  }

  // Waits until the element's text is text; the last text seen.
  static std::string WaitForText(TLauncherWindow& w, const std::string& selector,
                                 const std::string& text, int timeoutms = 10000) {
    return w.WaitFor("return document.querySelector(" + Json(selector) + ").textContent",
                     Json(text), timeoutms);
  }

  // The centre of an element on the screen (the window's position plus the
  // element's place in the view).
  static std::pair<int, int> ScreenPoint(TLauncherWindow& w, const std::string& selector) {
    const std::string d = w.Describe();
    const std::string r = w.Eval(
        "const r = document.querySelector(" + Json(selector) + ").getBoundingClientRect(); "
        "return {x: Math.round(r.left + r.width / 2), y: Math.round(r.top + r.height / 2)}");
    return {JsonInt(d, "x") + JsonInt(r, "x"), JsonInt(d, "y") + JsonInt(r, "y")};
  }

  // A real click of the left button on the element.
  static void Click(TLauncherWindow& w, const std::string& selector) {
    const auto [x, y] = ScreenPoint(w, selector);
    XDoTool({"mousemove", "--sync", std::to_string(x), std::to_string(y), "click", "1"});
  }

  // The "open URL" notes of the launcher so far, after one more round trip.
  static std::vector<std::string> Opened(TLauncherWindow& w) {
    w.Eval("return 1");
    std::vector<std::string> opened;
    for (const std::string& note : w.Notes()) {
      if (note.rfind("open ", 0) == 0) opened.push_back(note.substr(5));
    }
    return opened;
  }

  // Waits until the launcher has opened exactly these addresses; the last
  // list seen.
  static std::vector<std::string> WaitForOpened(TLauncherWindow& w,
                                                const std::vector<std::string>& expected) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::vector<std::string> opened = Opened(w);
    while (opened != expected && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      opened = Opened(w);
    }
    return opened;
  }

  // Closes the window through the engine (not the close sequence); the
  // process ends with 0.
  static void CloseByPage(TLauncherWindow& w) {
    w.Eval("setTimeout(() => Engine.closeWindow(), 0); return 1");
    EXPECT_EQ(w.WaitExit(20000), 0) << w.Stderr();
  }

  // Reloads the launcher data; the server texts read "stale" until the
  // page shows the new outcome.
  static void Reload(TLauncherWindow& w) {
    EXPECT_EQ(w.Eval("document.getElementById('servtime').textContent = 'stale'; "
                     "document.getElementById('servstatus').textContent = 'stale'; "
                     "LoadLauncherData(); return 1"),
              "1");
  }

  // The offline look: "XX:XX", a red "Offline", no news, no banners.
  static void ExpectOffline(TLauncherWindow& w, int timeoutms = 10000) {
    EXPECT_EQ(WaitForText(w, "#servtime", "Server time: XX:XX", timeoutms),
              Json("Server time: XX:XX"));
    EXPECT_EQ(w.Eval(Js(R"js(
const status = document.getElementById('servstatus');
const fonts = status.querySelectorAll('font');
return [status.textContent, fonts.length, fonts[0].getAttribute('color'),
  getComputedStyle(fonts[0]).color, fonts[0].textContent,
  ['last-update__content', 'last-news__content', 'marketplace']
    .map((id) => document.getElementById(id).childElementCount)];
)js")),
              R"x(["Server status: Offline",1,"#ff0000","rgb(255, 0, 0)","Offline",[0,0,0]])x");
  }

  // Waits until the page has polled the launcher's key ("status" or
  // "buttons") count more times.
  static void WaitForPolls(TLauncherWindow& w, const std::string& key, int count) {
    const int now = std::stoi(w.Eval("return testAnswers.polls." + key));
    EXPECT_EQ(w.WaitFor("return testAnswers.polls." + key + " >= " + std::to_string(now + count),
                        "true"),
              "true");
  }

  // Pixels of the bar's fill colour (#5ecb52) along the middle row of the
  // progress bar, in a snapshot of the window.
  int FillPixels(TLauncherWindow& w) {
    const std::string r = w.Eval(
        "const r = document.getElementById('progressbar').getBoundingClientRect(); "
        "return {x: Math.round(r.left), y: Math.round(r.top), w: Math.round(r.width), "
        "h: Math.round(r.height)}");
    const std::string png = game_.File("bar.png");
    EXPECT_TRUE(Contains(w.Snapshot(png), "\"width\":")) << png;
    const testing::TImage img = testing::ReadPng(png);
    const int x0 = JsonInt(r, "x"), width = JsonInt(r, "w");
    const int y = JsonInt(r, "y") + JsonInt(r, "h") / 2;
    int count = 0;
    for (int x = std::max(0, x0); x < std::min(img.width, x0 + width); ++x) {
      const uint8_t* p = &img.rgba[(static_cast<size_t>(y) * img.width + x) * 4];
      if (std::abs(p[0] - 0x5e) <= 8 && std::abs(p[1] - 0xcb) <= 8 && std::abs(p[2] - 0x52) <= 8 &&
          p[3] == 255) {
        ++count;
      }
    }
    return count;
  }

  static testing::TXvfb* xvfb_;
  TTempDir game_;
  TTempDir elsewhere_;
  std::string launcher_;
};

testing::TXvfb* PageTest::xvfb_ = nullptr;

TEST_F(PageTest, LauncherDataShownWhenGoodOfflineWhenDownMalformedOrSlow) {
  TDataSite site;
  site.Put("en", GoodData().Text());
  site.Serve();
  auto w = StartShown();
  EXPECT_EQ(WaitForText(*w, "#servtime", "Server time: 18:42"), Json("Server time: 18:42"));
  EXPECT_EQ(w->Eval(Js(R"js(
const texts = (id) => [...document.getElementById(id).children].map((e) => e.textContent);
const font = document.querySelector('#servstatus font');
return [document.getElementById('servstatus').textContent, getComputedStyle(font).color,
  texts('last-update__content'), texts('last-news__content'),
  [...document.getElementById('marketplace').children].map((e) => e.id + '.' + e.className)
    .map((s) => s.replace(' shown', ''))];
)js")),
            R"x(["Server status: Online","rgb(94, 203, 82)",["Patch 2.12 12.06","Hotfix 2.11.3"],)x"
            R"(["Festival on Friday","Maintenance on Tuesday","Guild wars: season 4"],)"
            R"(["banner1.banner","banner2.banner","banner3.banner"]])");
  const auto requests = site.Server().Requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests.back().uri, "/request/launcherdata/en/");

  {
    SCOPED_TRACE("no banners: the banner loop stays idle without errors");
    EXPECT_EQ(w->Eval(Js(kAnswers)), "true");
    TLauncherData none = GoodData();
    none.banners.clear();
    site.Put("en", none.Text());
    // The reload lands while the loop waits to show the next banner: right
    // when it takes "shown" from the last one.
    EXPECT_EQ(w->Eval(Js(R"js(
const marketplace = document.getElementById('marketplace');
const observer = new MutationObserver((records) => {
  if (records.some((r) => /\bshown\b/.test(r.oldValue || '') && !r.target.classList.contains('shown'))) {
    observer.disconnect();
    LoadLauncherData();
  }
});
observer.observe(marketplace, { subtree: true, attributeFilter: ['class'], attributeOldValue: true });
document.getElementById('servstatus').textContent = 'stale';
return 1;
)js")),
              "1");
    EXPECT_EQ(WaitForText(*w, "#servstatus", "Server status: Online", 20000),
              Json("Server status: Online"));
    // Long enough for many of the loop's 100 ms checks.
    WaitForPolls(*w, "buttons", 20);
    EXPECT_EQ(w->Eval("return [document.getElementById('marketplace').childElementCount, "
                      "document.querySelectorAll('.shown').length, testErrors]"),
              "[0,1,[]]");  // the one shown element is the body
  }

  struct Malformed {
    const char* label;
    std::string body;
  };
  const Malformed malformed[] = {
      {"a call", "alert(1)"},
      {"a call inside the object", "({servertime: '1', serverstatus: alert(1)})"},
      {"a function run at once",
       "(function () { globalThis.pwned = 1; return {servertime: '1', serverstatus: 'x'}; })()"},
      {"an assignment", "globalThis.pwned = 1"},
      {"a template literal", "({servertime: `${globalThis.pwned = 1}`, serverstatus: 'x'})"},
      {"empty", ""},
      {"an error page", "<html><body><h1>502 Bad Gateway</h1></body></html>"},
      {"a list", "['18:42', 'Online']"},
      {"no server time", "({serverstatus: 'Online'})"},
      {"banners not a list", "({servertime: '1', serverstatus: 'x', banners: '<b>x</b>'})"},
      {"a news item not a text", "({servertime: '1', serverstatus: 'x', lastnews: [{}]})"},
      {"too large", "({servertime: '1', serverstatus: '" + std::string(5 << 20, 'x') + "'})"},
  };
  for (const Malformed& m : malformed) {
    SCOPED_TRACE(m.label);
    site.Put("en", m.body);
    Reload(*w);
    ExpectOffline(*w);
    EXPECT_EQ(w->Eval("return typeof globalThis.pwned"), Json("undefined"));
  }

  {
    SCOPED_TRACE("the server is down");
    site.Stop();
    Reload(*w);
    ExpectOffline(*w);
  }
  {
    SCOPED_TRACE("the server answers too slowly (past the 10 s limit)");
    // A good answer at 16 bytes per second takes minutes.
    site.Put("en", GoodData().Text() + std::string(4000, ' '));
    site.Serve(testing::TServerMode::Slow, 16);
    Reload(*w);
    ExpectOffline(*w, 30000);
    site.Stop();
  }
  EXPECT_EQ(w->Eval(kCommands), "[]");
  CloseByPage(*w);
}

TEST_F(PageTest, HostileFragmentsChangeNothingOutsideTheirBoxes) {
  TLauncherData d;
  d.servertime = "<img src=x onerror=\"globalThis.pwned = 1\">";
  d.serverstatus =
      "<script>globalThis.pwned = 1; AppClose()</script>"
      "<b onclick=\"globalThis.pwned = 1; AppClose()\" onmouseover=\"LangSave('ru')\">Online</b>";
  d.lastupdates = {
      "<iframe src=\"res:default.htm\"></iframe>framed",
      "<iframe srcdoc=\"<script>parent.pwned = 1; parent.AppClose()</script>\"></iframe>srcdoc",
      "<a href=\"javascript:globalThis.pwned = 1; AppClose()\">js link</a>",
      "<form action=\"https://evil.example/\" method=\"post\"><input name=\"x\" value=\"1\">"
      "<button>go</button></form>",
      "<div style=\"position:fixed;inset:0;background:red\" id=\"launchgamebtn\">cover</div>",
      "<object data=\"res:default.htm\"></object><embed src=\"res:default.htm\">objects",
      "<meta http-equiv=\"refresh\" content=\"0;url=https://evil.example/\">refresh",
      "<base href=\"https://evil.example/\"><link rel=\"stylesheet\" href=\"https://evil.example/x.css\">",
      "<title>MainFormCaption</title><p class=\"dfn\" title=\"ServerTime\">PlayBtnCaption</p>",
  };
  d.lastnews = {
      "<a href=\"https://www.kestrune.example/news/9\" target=\"_top\" "
      "onclick=\"LangSave('ru')\">a news link</a>",
      "<img src=\"x\" onerror=\"globalThis.pwned = 1; LangSave('ru')\">",
      "<label for=\"launchgameissave\">toggle</label><style>body { display: none }</style>",
      "<svg><script>globalThis.pwned = 1</script><a href=\"javascript:AppClose()\">svg</a></svg>",
      "<math><mtext><table><mglyph><style><img src=x onerror=\"globalThis.pwned = 1\">",
      "<noscript><p title=\"</noscript><img src=x onerror=globalThis.pwned=1>\">",
  };
  d.banners = {
      "<div class=\"banner\" id=\"banner1\" onmouseover=\"AppClose()\">"
      "<a href=\"https://www.kestrune.example/shop\" target=\"_blank\" "
      "onclick=\"LangSave('ru')\">first banner</a></div>",
      "<svg onload=\"globalThis.pwned = 1\"><circle r=\"5\"></circle></svg>second",
  };
  TDataSite site;
  site.Put("en", d.Text());
  site.Serve();
  auto w = StartShown();
  EXPECT_EQ(w->Eval(Js(kAnswers)), "true");
  EXPECT_EQ(WaitForText(*w, "#servstatus", "Server status: Online"), Json("Server status: Online"));
  // Every banner gets its place, and the first one is shown (fully grown).
  const char* kFirstShown =
      "const first = document.getElementById('banner1'); "
      "return [...document.getElementById('marketplace').children].map((e) => e.id).join() + "
      "(first.classList.contains('shown') && first.getAnimations().length === 0 ? ' shown' : '')";
  EXPECT_EQ(w->WaitFor(kFirstShown, Json("banner1,banner2 shown")), Json("banner1,banner2 shown"));
  // The user points at and clicks what is left of them.
  for (const char* target : {"#banner1 a", "#servstatus b",
                             "#last-update__content .news-item:nth-child(3) a",
                             "#last-news__content .news-item:nth-child(1) a"}) {
    SCOPED_TRACE(target);
    Click(*w, target);
  }
  // The two https links went to the system's browser.
  const std::vector<std::string> links = {"https://www.kestrune.example/shop",
                                          "https://www.kestrune.example/news/9"};
  EXPECT_EQ(WaitForOpened(*w, links), links);
  WaitForPolls(*w, "buttons", 5);

  EXPECT_EQ(w->Eval("return typeof globalThis.pwned"), Json("undefined"));
  EXPECT_EQ(w->Eval(Js(R"js(
const boxes = ['servtime', 'servstatus', 'last-update__content', 'last-news__content', 'marketplace']
  .map((id) => document.getElementById(id));
const inside = boxes.flatMap((b) => [...b.querySelectorAll('*')]);
return Object.entries({
  frames: document.querySelectorAll('iframe, frame, object, embed').length,
  forms: document.querySelectorAll('form, button:not(#close):not(#minimize):not(#launchgamebtn)').length,
  inputs: document.querySelectorAll('input').length,
  scripts: [...document.scripts].map((s) => s.getAttribute('src')).join(),
  foreign: document.querySelectorAll('body script, style, meta:not([charset]):not([http-equiv=Content-Security-Policy]), base, link:not([rel=translation]):not([rel=stylesheet][href^="res:"]), svg, math, noscript, label[for]:not([for^=launchgame])').length,
  handlers: inside.filter((e) => [...e.attributes].some((a) => /^on/i.test(a.name))).length,
  styled: inside.filter((e) => e.hasAttribute('style')).length,
  ids: inside.filter((e) => e.id && !/^banner[12]$/.test(e.id)).length,
  links: inside.filter((e) => e.hasAttribute('href') && !/^https:/.test(e.getAttribute('href'))).length,
  playButtons: document.querySelectorAll('#launchgamebtn').length,
  bodyShown: getComputedStyle(document.body).display,
  servtime: document.getElementById('servtime').textContent,
  url: document.URL,
  history: history.length,
}).map(([k, v]) => k + ' ' + v);
)js")),
            R"(["frames 0","forms 0","inputs 3",)"
            R"("scripts res:purify.min.js,res:json5.min.js,res:main.tis,res:lang.tis","foreign 0",)"
            R"("handlers 0","styled 0","ids 0","links 0","playButtons 1","bodyShown block",)"
            R"("servtime Server time: <img src=x onerror=\"globalThis.pwned = 1\">",)"
            R"("url res:default.htm","history 1"])");
  // No native ran but the page's own polls and launcher-data requests.
  EXPECT_EQ(w->Eval(kCommands), "[]");
  EXPECT_EQ(w->Eval("return testAnswers.calls.filter((c) => c.startsWith('Engine') && "
                    "c !== 'Engine[\"launcherData\",\"en\"]')"),
            "[]");
  EXPECT_EQ(w->Eval("return (await GetStatusMessages())[0] !== 'ClientFSUninit'"), "true");
  EXPECT_EQ(w->WaitExit(0), -1);
  EXPECT_FALSE(fs::exists(game_.File("lang.dat")));
  // Texts in the fragments may name translation keys; relabelling the page
  // leaves the window's caption the page's own.
  EXPECT_EQ(w->Eval("Lang.retranslate(); return document.title"),
            Json("Myrefall EU - www.kestrune.example"));
  EXPECT_TRUE(Contains(w->Describe(), "\"title\":\"Myrefall EU - www.kestrune.example\""));
  // Nothing else was opened.
  EXPECT_EQ(Opened(*w), links);
  CloseByPage(*w);
}

TEST_F(PageTest, StatusProgressPlayBannersAndLanguage) {
  TDataSite site;
  site.Put("en", GoodData().Text());
  TLauncherData cn = GoodData();
  cn.servertime = "19:42";
  site.Put("cn", cn.Text());
  site.Serve();
  auto w = StartShown();
  {
    SCOPED_TRACE("the launcher's own check fails (no download server): the bar is hidden (-1)");
    EXPECT_EQ(WaitForText(*w, "#launchstatusmessage", "Version check error!", 60000),
              Json("Version check error!"));
    EXPECT_EQ(w->Eval("return [(await GetStatusMessages())[2], "
                      "document.getElementById('progressbar').value]"),
              "[-1,0]");
    EXPECT_EQ(FillPixels(*w), 0);
  }
  EXPECT_EQ(w->Eval(Js(kAnswers)), "true");
  // The banners of a fresh load, in the order they are shown.
  EXPECT_EQ(w->Eval(Js(R"js(
const marketplace = document.getElementById('marketplace');
globalThis.testBanners = { order: [], most: 0 };
new MutationObserver((records) => {
  for (const r of records) {
    if (r.target.isConnected && r.target.classList.contains('shown')) testBanners.order.push(r.target.id);
  }
  testBanners.most = Math.max(testBanners.most, marketplace.querySelectorAll('.shown').length);
}).observe(marketplace, { subtree: true, attributeFilter: ['class'] });
return 1;
)js")),
            "1");
  Reload(*w);
  EXPECT_EQ(WaitForText(*w, "#servtime", "Server time: 18:42"), Json("Server time: 18:42"));

  auto setStatus = [&](const std::string& key, const std::string& value, int progress,
                       const std::string& speed = "", const std::string& size = "") {
    EXPECT_EQ(w->Eval("testAnswers.status = [" + Json(key) + "," + Json(value) + "," +
                      std::to_string(progress) + "," + Json(speed) + "," + Json(size) +
                      "]; return 1"),
              "1");
  };
  struct StatusCase {
    const char* key;
    const char* value;
    const char* shown;
  } statuses[] = {
      {"CheckingFile", "\\bin32\\a.dll", "Checking files"},
      {"ApplicationReady", "", "The game is ready, press the Play button to launch it."},
      {"NoSuchKey", "", "NoSuchKey"},
      {"NoSuchKey", "\\bin32\\b.dll", "NoSuchKey"},
      {"LoadingStatus", "$& $1", "Loading..."},
      {"ServerTime", "12:00", "Server time: 12:00"},
      {"ServerStatus", "$& %s", "Server status: $& %s"},
      {"GameStarting", "", "The game is starting, please wait..."},
  };
  for (const StatusCase& c : statuses) {
    SCOPED_TRACE(std::string(c.key) + " " + c.value);
    setStatus(c.key, c.value, 0);
    EXPECT_EQ(WaitForText(*w, "#launchstatusmessage", c.shown), Json(c.shown));
  }
  {
    SCOPED_TRACE("speed and size are shown as they come");
    setStatus("DownloadingAndUnpackingFiles", "", 4200, "3.20MB/s", "41.0MB / 98.1MB");
    EXPECT_EQ(w->WaitFor("return [document.getElementById('launchspeedmessage').textContent, "
                         "document.getElementById('launchsizemessage').textContent]",
                         R"(["3.20MB/s","41.0MB / 98.1MB"])"),
              R"(["3.20MB/s","41.0MB / 98.1MB"])");
  }
  {
    SCOPED_TRACE("a label whose key the table lacks shows the key");
    EXPECT_EQ(w->Eval(Js(R"js(
const label = document.createElement('label');
label.textContent = 'NoSuchKey';
document.getElementById('play').append(label);
Lang.retranslate();
const missing = label.textContent;
label.text = 'PlayBtnCaption';
const play = label.textContent;
label.remove();
return [missing, play, Lang.translate('NoSuchKey') === undefined];
)js")),
              R"(["NoSuchKey","PLAY",true])");
  }

  struct ProgressCase {
    int progress;
    int value;  // of the bar, out of 198
  } progresses[] = {{10000, 198}, {-1, 0}, {5000, 99}, {0, 0}, {10000, 198}, {-1, 0}};
  for (const ProgressCase& c : progresses) {
    SCOPED_TRACE("progress " + std::to_string(c.progress));
    setStatus("ApplicationReady", "", c.progress);
    EXPECT_EQ(w->WaitFor("return document.getElementById('progressbar').value",
                         std::to_string(c.value)),
              std::to_string(c.value));
    EXPECT_EQ(FillPixels(*w), c.value);
  }

  {
    SCOPED_TRACE("Play stays disabled after a click until the launcher enables it");
    const char* kPlayDisabled = "return document.getElementById('launchgamebtn').disabled";
    EXPECT_EQ(w->Eval("testAnswers.buttons = [true, true, false, false]; return 1"), "1");
    EXPECT_EQ(w->WaitFor(kPlayDisabled, "false"), "false");
    EXPECT_EQ(w->Eval("document.getElementById('launchgamelogin').value = 'Aldric'; "
                      "document.getElementById('launchgamepassword').value = 'secret'; "
                      "document.getElementById('launchgameissave').checked = true; return 1"),
              "1");
    Click(*w, "#launchgamebtn");
    EXPECT_EQ(w->WaitFor(kPlayDisabled, "true"), "true");
    EXPECT_EQ(w->WaitFor("return testAnswers.calls.filter((c) => c.startsWith('LaunchGame'))",
                         R"(["LaunchGame[\"Aldric\",\"secret\",true]"])"),
              R"(["LaunchGame[\"Aldric\",\"secret\",true]"])");
    // The launcher still says Play: the page keeps it disabled.
    WaitForPolls(*w, "buttons", 10);
    EXPECT_EQ(w->Eval(kPlayDisabled), "true");
    Click(*w, "#launchgamebtn");
    WaitForPolls(*w, "buttons", 3);
    EXPECT_EQ(w->Eval("return testAnswers.calls.filter((c) => c.startsWith('LaunchGame')).length"),
              "1");
    // The launcher takes Play away and gives it back.
    EXPECT_EQ(w->Eval("testAnswers.buttons = [true, false, false, false]; return 1"), "1");
    WaitForPolls(*w, "buttons", 3);
    EXPECT_EQ(w->Eval(kPlayDisabled), "true");
    EXPECT_EQ(w->Eval("testAnswers.buttons = [true, true, false, false]; return 1"), "1");
    EXPECT_EQ(w->WaitFor(kPlayDisabled, "false"), "false");
    // The launch really ran with the page's values: the credentials were saved.
    EXPECT_EQ(w->WaitFor("return (await testAnswers.launcher('GetStatusMessages'))[0]",
                         Json("LaunchError")),
              Json("LaunchError"));
    EXPECT_TRUE(Contains(testing::ReadFileText(game_.File("credits.dat")), "aldric"));
  }
  {
    SCOPED_TRACE("Repair follows the launcher; disabled, a click does nothing");
    const char* kRepair =
        "return [document.getElementById('launchrepairbtn').disabled, "
        "document.getElementById('launchrepairbtnli').hasAttribute('disabled')]";
    EXPECT_EQ(w->Eval("testAnswers.buttons = [false, true, false, false]; return 1"), "1");
    EXPECT_EQ(w->WaitFor(kRepair, "[true,true]"), "[true,true]");
    w->Eval("document.getElementById('launchrepairbtn').click(); return 1");
    WaitForPolls(*w, "buttons", 2);
    EXPECT_EQ(w->Eval("return testAnswers.calls.filter((c) => c.startsWith('LaunchRepair'))"), "[]");
    EXPECT_EQ(w->Eval("testAnswers.buttons = [true, true, false, false]; return 1"), "1");
    EXPECT_EQ(w->WaitFor(kRepair, "[false,false]"), "[false,false]");
  }
  {
    SCOPED_TRACE("three banners turn 1, 2, 3, 1, one at a time");
    EXPECT_EQ(w->WaitFor("return testBanners.order.length >= 4", "true", 30000), "true");
    EXPECT_EQ(w->Eval("return [testBanners.order.slice(0, 4), testBanners.most]"),
              R"([["banner1","banner2","banner3","banner1"],1])");
  }
  {
    SCOPED_TRACE("switching to Chinese");
    setStatus("ApplicationReady", "", 10000);
    EXPECT_EQ(w->Eval("document.getElementById('langchangecn').click(); return 1"), "1");
    EXPECT_EQ(WaitForText(*w, "#dropdown > label", "CN"), Json("CN"));
    EXPECT_EQ(w->WaitFor("return document.title", Json("迈尔陨落 EU - www.kestrune.example")),
              Json("迈尔陨落 EU - www.kestrune.example"));
    EXPECT_EQ(WaitForText(*w, "#launchstatusmessage", "程序已就绪，请按“启动”按钮启动游戏."),
              Json("程序已就绪，请按“启动”按钮启动游戏."));
    EXPECT_EQ(WaitForText(*w, "#servtime", "服务器时间: 19:42"), Json("服务器时间: 19:42"));
    EXPECT_EQ(Text(*w, "#launchgamebtn"), Json("开冲"));
    const std::string d = w->Describe();
    EXPECT_TRUE(Contains(d, "\"title\":\"迈尔陨落 EU - www.kestrune.example\"")) << d;
    EXPECT_EQ(w->WaitFor("return testAnswers.calls.filter((c) => c.startsWith('LangSave'))",
                         R"(["LangSave[\"cn\"]"])"),
              R"(["LangSave[\"cn\"]"])");
    EXPECT_EQ(w->Eval("return (await GetAuthAndLangData())[3]"), Json("cn"));
    EXPECT_TRUE(Contains(testing::ReadFileText(game_.File("lang.dat")), "cn"));
    const auto requests = site.Server().Requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.back().uri, "/request/launcherdata/cn/");
  }
  {
    SCOPED_TRACE("and back to English");
    EXPECT_EQ(w->Eval("document.getElementById('langchangeen').click(); return 1"), "1");
    EXPECT_EQ(WaitForText(*w, "#dropdown > label", "ENG"), Json("ENG"));
    EXPECT_EQ(WaitForText(*w, "#servtime", "Server time: 18:42"), Json("Server time: 18:42"));
    EXPECT_TRUE(Contains(w->Describe(), "\"title\":\"Myrefall EU - www.kestrune.example\""));
  }
  EXPECT_EQ(w->Eval("return testErrors.filter((e) => !e.startsWith('LaunchGame'))"), "[]");
  CloseByPage(*w);
}

TEST_F(PageTest, TransparentAroundTheBackgroundDraggedByTheBodyLinksOutsideClosedByItsButton) {
  TDataSite site;
  site.Put("en", GoodData().Text());
  site.Serve();
  // With a log, which shows the close sequence.
  auto w = StartShown({"-debug", "1"});
  EXPECT_EQ(WaitForText(*w, "#servtime", "Server time: 18:42"), Json("Server time: 18:42"));
  EXPECT_EQ(w->WaitFor(kShown, "true"), "true");
  {
    SCOPED_TRACE("pixels outside the background are transparent");
    const std::string png = game_.File("window.png");
    ASSERT_EQ(w->Snapshot(png), R"({"width":1483,"height":901})");
    const testing::TImage img = testing::ReadPng(png);
    const std::string b = w->Eval(
        "const r = document.body.getBoundingClientRect(); "
        "return {x: r.left, y: r.top, w: r.width, h: r.height}");
    const int bx = JsonInt(b, "x"), by = JsonInt(b, "y"), bw = JsonInt(b, "w"), bh = JsonInt(b, "h");
    EXPECT_EQ(bw, 989);
    EXPECT_EQ(bh, 601);
    struct Point {
      const char* label;
      int x, y;
      int alpha;
    } points[] = {
        {"top left corner", 0, 0, 0},
        {"top right corner", img.width - 1, 0, 0},
        {"bottom left corner", 0, img.height - 1, 0},
        {"bottom right corner", img.width - 1, img.height - 1, 0},
        {"left of the background", bx - 2, by + bh / 2, 0},
        {"right of the background", bx + bw + 1, by + bh / 2, 0},
        {"above the background", bx + bw / 2, by - 2, 0},
        {"below the background", bx + bw / 2, by + bh + 1, 0},
        {"the background's cut top left corner", bx + 2, by + 2, 0},
        {"the background's cut bottom right corner", bx + bw - 3, by + bh - 3, 0},
        {"the background's middle", bx + bw / 2, by + bh / 2, 255},
        {"the background near its top left corner", bx + 30, by + 30, 255},
        {"the background under the server status", bx + bw / 2, by + 150, 255},
    };
    for (const Point& p : points) {
      SCOPED_TRACE(p.label);
      EXPECT_EQ(img.Alpha(p.x, p.y), p.alpha);
    }
  }
  EXPECT_EQ(w->Eval(Js(kAnswers)), "true");
  {
    SCOPED_TRACE("links open outside on a user's click only; the page stays");
    // Page code that answers no user action follows links, navigates and
    // opens windows (before any click of the user, whose activation would
    // last a while).
    // The test hook's own scripts run with a user's activation, which the
    // engine carries over to timers for a short while: the page code acts
    // only well after the hook's last script.
    EXPECT_EQ(w->Eval(Js(R"js(
const armed = Date.now() + 5000;
testAnswers.onPoll = function act() {
  if (Date.now() < armed) {
    testAnswers.onPoll = act;
    return;
  }
  document.querySelector('#menu-bar a').click();
  const a = document.createElement('a');
  a.href = 'https://evil.example/clicked';
  document.body.append(a);
  a.click();
  a.remove();
  window.open('https://evil.example/opened');
  location.href = 'https://evil.example/navigated';
  globalThis.scripted = true;
};
return 1;
)js")),
              "1");
    EXPECT_EQ(w->WaitFor("return globalThis.scripted === true", "true"), "true");
    WaitForPolls(*w, "buttons", 5);
    EXPECT_EQ(Opened(*w), std::vector<std::string>{});
    // The user's clicks.
    Click(*w, "#menu-bar li:nth-child(3) a");
    Click(*w, "#last-news__content a");
    Click(*w, "#launchrepairbtn");
    const std::vector<std::string> links = {"https://www.kestrune.example/forums/",
                                            "https://www.kestrune.example/news/1"};
    EXPECT_EQ(WaitForOpened(*w, links), links);
    WaitForPolls(*w, "buttons", 5);
    EXPECT_EQ(Opened(*w), links);
    EXPECT_EQ(w->Eval("return [document.URL, history.length]"), R"(["res:default.htm",1])");
  }
  {
    SCOPED_TRACE("a drag on the body moves the window");
    // A point of the body that no element covers.
    const std::string spot = w->Eval(Js(R"js(
const r = document.body.getBoundingClientRect();
for (let y = r.bottom - 10; y > r.top; y -= 10) {
  for (let x = r.left + 10; x < r.right; x += 10) {
    if (document.elementFromPoint(x, y) === document.body) return {x, y};
  }
}
return null;
)js"));
    ASSERT_NE(spot, "null");
    const std::string before = w->Describe();
    const int x = JsonInt(before, "x") + JsonInt(spot, "x");
    const int y = JsonInt(before, "y") + JsonInt(spot, "y");
    const char* kDrags =
        "return testAnswers.calls.filter((c) => c === 'Engine[\"beginDrag\"]').length";
    ASSERT_TRUE(XDoTool({"mousemove", "--sync", std::to_string(x), std::to_string(y)}));
    ASSERT_TRUE(XDoTool({"mousedown", "1"}));
    // The page has had the press and asked the window to drag.
    EXPECT_EQ(w->WaitFor(kDrags, "1"), "1");
    XDoTool({"mousemove", "--sync", std::to_string(x + 30), std::to_string(y + 20)});
    XDoTool({"mousemove", "--sync", std::to_string(x + 60), std::to_string(y + 40)});
    XDoTool({"mouseup", "1"});
    std::string after;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    do {
      after = w->Describe();
      if (JsonInt(after, "x") == JsonInt(before, "x") + 60) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    } while (std::chrono::steady_clock::now() < deadline);
    EXPECT_EQ(JsonInt(after, "x"), JsonInt(before, "x") + 60) << before << " " << after;
    EXPECT_EQ(JsonInt(after, "y"), JsonInt(before, "y") + 40) << before << " " << after;
    // A press on an element does not drag.
    EXPECT_EQ(w->Eval("globalThis.testPresses = 0; document.addEventListener('mousedown', "
                      "() => { testPresses += 1; }, true); return 1"),
              "1");
    const auto [lx, ly] = ScreenPoint(*w, "#launchgamelogin");
    XDoTool({"mousemove", "--sync", std::to_string(lx), std::to_string(ly), "mousedown", "1"});
    EXPECT_EQ(w->WaitFor("return testPresses", "1"), "1");
    XDoTool({"mousemove", "--sync", std::to_string(lx + 50), std::to_string(ly + 50)});
    XDoTool({"mouseup", "1"});
    WaitForPolls(*w, "buttons", 3);
    EXPECT_EQ(w->Eval(kDrags), "1");
    const std::string still = w->Describe();
    EXPECT_EQ(JsonInt(still, "x"), JsonInt(after, "x"));
    EXPECT_EQ(JsonInt(still, "y"), JsonInt(after, "y"));
  }
  {
    SCOPED_TRACE("the close button runs the close sequence; the process ends with 0");
    Click(*w, "#close");
    EXPECT_EQ(w->WaitExit(20000), 0) << w->Stderr();
    const std::string log = testing::ReadFileText(game_.File("Launcher.log"));
    for (const char* line : {"Closing launcher", "Unmount client file system", "Close browser"}) {
      EXPECT_TRUE(Contains(log, line)) << line << " in " << log;
    }
  }
}

TEST_F(PageTest, ProgressAndPlayFollowARealVersionCheck) {
  TTempDir server;
  fs::create_directories(server.File("kestrune"));
  const std::string client = server.File("client");
  testing::TClientFiles files;
  files["game/data/world.dat"] = std::vector<uint8_t>(300000, 3);
  files["game/readme.txt"] = std::vector<uint8_t>(100, 'r');
  testing::WriteClientFolder(client, files);
  publish::TPublishOptions o;
  o.clientdir = client;
  o.launcherfile = VANTREL_PAGE_LAUNCHER;
  o.launchername = "Launcher.exe";
  o.outdir = server.File("kestrune");
  o.updateversion = 1;
  testing::PublishTree(o);
  testing::TServerOptions so;
  so.port = WebPort();
  testing::TNginxServer nginx(testing::TServerMode::Good, server.Path(), so);

  auto w = StartShown();
  const char* kReady = "The game is ready, press the Play button to launch it.";
  const char* kPlayDisabled = "return document.getElementById('launchgamebtn').disabled";
  EXPECT_EQ(WaitForText(*w, "#launchstatusmessage", kReady, 120000), Json(kReady));
  EXPECT_EQ(w->WaitFor(kPlayDisabled, "false"), "false");
  EXPECT_EQ(w->Eval("return document.getElementById('progressbar').value"), "198");
  EXPECT_EQ(FillPixels(*w), 198);
  // The game is not there: the launch fails, and the launcher keeps every
  // button off.
  Click(*w, "#launchgamebtn");
  EXPECT_EQ(w->WaitFor(kPlayDisabled, "true"), "true");
  EXPECT_EQ(WaitForText(*w, "#launchstatusmessage", "Launch Error!", 30000), Json("Launch Error!"));
  EXPECT_EQ(w->Eval("return [await GetButtonsState(), document.getElementById('launchgamebtn')"
                    ".disabled]"),
            "[[false,false,false,false],true]");
  // A new check makes the client ready again and enables Play.
  EXPECT_EQ(w->Eval("return await LaunchVersionCheck()"), "0");
  EXPECT_EQ(w->WaitFor(kPlayDisabled, "false", 60000), "false");
  EXPECT_EQ(WaitForText(*w, "#launchstatusmessage", kReady), Json(kReady));
  CloseByPage(*w);
}

}  // namespace
}  // namespace vantrel
