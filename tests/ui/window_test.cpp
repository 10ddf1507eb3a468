// The launcher's window end to end: a test build of the launcher (with the
// window's test hooks) under a virtual display, its test page, the natives,
// the close sequence, the engine library on disk, and a version check
// against nginx.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <filesystem>
#include <memory>
#include <sstream>
#include <thread>

#include "support/nginx_fixture.h"
#include "support/publish_tree.h"
#include "support/temp_dir.h"
#include "support/window_driver.h"
#include "support/xvfb_fixture.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using testing::ReadFileBytes;
using testing::TLauncherWindow;
using testing::TTempDir;
using testing::WriteFileBytes;
using Args = std::vector<std::string>;

int WebPort() { return std::stoi(std::string(VANTREL_WINDOW_PORTS).substr(0, 5)); }
int DataPort() { return std::stoi(std::string(VANTREL_WINDOW_PORTS).substr(6)); }

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class WindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { xvfb_ = new testing::TXvfb; }
  static void TearDownTestSuite() {
    delete xvfb_;
    xvfb_ = nullptr;
  }

  WindowTest() {
    launcher_ = game_.File("Launcher.exe");
    fs::copy_file(VANTREL_WINDOW_LAUNCHER, launcher_);
  }

  std::unique_ptr<TLauncherWindow> Start(const Args& args = {},
                                         const std::map<std::string, std::string>& env = {}) {
    return std::make_unique<TLauncherWindow>(launcher_, args, elsewhere_.Path(), env);
  }

  // Starts the window and waits until the test page has sized it.
  std::unique_ptr<TLauncherWindow> StartReady(const Args& args = {}) {
    auto w = Start(args);
    const std::string ready = w->WaitFor("return pageReady", "true");
    EXPECT_EQ(ready, "true") << w->Stderr();
    return w;
  }

  // The page closes the window; the process ends with 0.
  void CloseByPage(TLauncherWindow& w) {
    w.Eval("setTimeout(() => Engine.closeWindow(), 0); return 1");
    EXPECT_EQ(w.WaitExit(20000), 0) << w.Stderr();
  }

  static testing::TXvfb* xvfb_;
  TTempDir game_;
  TTempDir elsewhere_;
  std::string launcher_;
};

testing::TXvfb* WindowTest::xvfb_ = nullptr;

TEST_F(WindowTest, StartsBorderlessTranslucentWithTheStateOfStartUp) {
  auto w = StartReady();
  EXPECT_EQ(w->Eval("return [await GetStatusMessages(), await GetButtonsState(), "
                    "await GetAuthAndLangData()]"),
            R"([["LoadingStatus","",0,"",""],[false,false,false,false],["","",false,"en"]])");
  const std::string d = w->Describe();
  for (const char* part : {"\"width\":200,\"height\":120", "\"visible\":true",
                           "\"decorated\":false", "\"rgba\":true", "\"acceleration\":\"never\"",
                           "\"title\":\"Test page\""}) {
    EXPECT_TRUE(Contains(d, part)) << part << " in " << d;
  }
  // The page's box is opaque; around it the window is transparent.
  const std::string png = game_.File("snapshot.png");
  ASSERT_EQ(w->Snapshot(png), R"({"width":200,"height":120})");
  const testing::TImage img = testing::ReadPng(png);
  EXPECT_EQ(img.Alpha(2, 2), 0);
  EXPECT_EQ(img.Alpha(150, 100), 0);
  EXPECT_EQ(img.Alpha(20, 20), 255);
  // The engine functions cannot be replaced by the page.
  EXPECT_EQ(w->Eval("Engine.closeWindow = null; globalThis.Engine = 1; "
                    "return [typeof Engine.closeWindow, Object.isFrozen(Engine)]"),
            R"(["function",true])");
  CloseByPage(*w);
}

TEST_F(WindowTest, AppCloseReturnsAtOnceAndTheWindowClosesOnlyThroughThePage) {
  auto w = StartReady();
  EXPECT_EQ(w->Eval("return await AppClose()"), "0");
  // The close sequence ends by calling the page's OnCloseFinished with the
  // delay; this page does not close then, so the window stays.
  EXPECT_EQ(w->WaitFor("return closeCalls", "[0]"), "[0]");
  EXPECT_EQ(w->WaitExit(500), -1);
  EXPECT_EQ(w->Eval("return closeCalls"), "[0]");
  CloseByPage(*w);
  for (const std::string& note : w->Notes()) ADD_FAILURE() << note;
}

TEST_F(WindowTest, OnCloseFinishedThatClosesEndsTheProcessWithZero) {
  auto w = StartReady();
  EXPECT_EQ(w->Eval("closeOnFinish = true; return await AppClose()"), "0");
  EXPECT_EQ(w->WaitExit(20000), 0) << w->Stderr();
}

// The launcher's web process (a child named WebKitWebProcess); -1 when there
// is none.
pid_t WebProcessOf(pid_t launcher) {
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    const size_t open = line.find('('), close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    const std::string comm = line.substr(open + 1, close - open - 1);
    std::istringstream rest(line.substr(close + 2));
    std::string state;
    pid_t ppid = -1;
    rest >> state >> ppid;
    if (ppid == launcher && comm.rfind("WebKitWebProces", 0) == 0) return std::stoi(name);
  }
  return -1;
}

// Kills the launcher's web process; false when there was none.
bool KillWebProcess(pid_t launcher) {
  pid_t web = -1;
  for (int i = 0; i < 100 && web < 0; ++i) {
    web = WebProcessOf(launcher);
    if (web < 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return web > 0 && ::kill(web, SIGKILL) == 0;
}

// A web process that dies takes the page with it: the page is loaded again
// in a new one, with the natives, a few times; a page that keeps dying
// closes the window through the close sequence, and the process ends with 1.
TEST_F(WindowTest, PageWhoseWebProcessDiesIsLoadedAgainOrTheWindowCloses) {
  auto w = StartReady();
  const std::string reloaded =
      "return pageReady && typeof marker === 'undefined' && "
      "(await CallNative('GetButtonsState'))[0] === 'ok'";
  for (int crash = 1; crash <= 3; ++crash) {
    SCOPED_TRACE(crash);
    EXPECT_EQ(w->Eval("globalThis.marker = 1; return 1"), "1");
    ASSERT_TRUE(KillWebProcess(w->Pid()));
    EXPECT_EQ(w->WaitFor(reloaded, "true", 20000), "true") << w->Stderr();
  }
  EXPECT_EQ(w->Eval("globalThis.marker = 1; return 1"), "1");
  ASSERT_TRUE(KillWebProcess(w->Pid()));
  EXPECT_EQ(w->WaitExit(20000), 1) << w->Stderr();
  EXPECT_TRUE(Contains(w->Stderr(), "The page's web process ended")) << w->Stderr();
}

TEST_F(WindowTest, LangSaveThenAuthData) {
  auto w = StartReady();
  EXPECT_EQ(w->Eval("return [await LangSave('fr'), (await GetAuthAndLangData())[3]]"),
            R"([0,"fr"])");
  EXPECT_TRUE(Contains(testing::ReadFileText(game_.File("lang.dat")), "fr"));
  // A save that fails rejects the page's promise with the error's text.
  fs::remove(game_.File("lang.dat"));
  fs::create_directory(game_.File("lang.dat"));
  const std::string r = w->Eval(
      "try { await LangSave('ru'); return 'saved'; } catch (e) { return 'rejected'; }");
  EXPECT_EQ(r, "\"rejected\"");
  CloseByPage(*w);
}

TEST_F(WindowTest, ButtonsAfterASuccessfulVersionCheck) {
  TTempDir server;
  fs::create_directories(server.File("kestrune"));
  const std::string client = server.File("client");
  testing::TClientFiles files;
  files["bin32/Myrefall.exe"] = std::vector<uint8_t>(5000, 7);
  files["game/data/world.dat"] = std::vector<uint8_t>(300000, 3);
  testing::WriteClientFolder(client, files);
  publish::TPublishOptions o;
  o.clientdir = client;
  o.launcherfile = VANTREL_WINDOW_LAUNCHER;
  o.launchername = "Launcher.exe";
  o.outdir = server.File("kestrune");
  o.updateversion = 1;
  testing::PublishTree(o);
  testing::TServerOptions so;
  so.port = WebPort();
  testing::TNginxServer nginx(testing::TServerMode::Good, server.Path(), so);

  auto w = StartReady();
  EXPECT_EQ(w->Eval("return await LaunchVersionCheck()"), "0");
  EXPECT_EQ(w->WaitFor("return await GetButtonsState()", "[true,true,false,false]", 120000),
            "[true,true,false,false]")
      << w->Eval("return await GetStatusMessages()");
  EXPECT_TRUE(fs::exists(game_.File("client.version")));
  EXPECT_EQ(w->Eval("return await AppClose()"), "0");
  EXPECT_EQ(w->WaitFor("return closeCalls", "[0]"), "[0]");
  CloseByPage(*w);
}

TEST_F(WindowTest, LauncherDataIsFetchedByTheEngine) {
  const char* kAsk =
      "try { return ['ok', await Engine.launcherData(%s)]; } "
      "catch (e) { return ['rejected', e.message]; }";
  auto ask = [&](TLauncherWindow& w, const std::string& lang) {
    char body[512];
    std::snprintf(body, sizeof body, kAsk, lang.c_str());
    return w.Eval(body, 20000);
  };
  auto w = StartReady();
  // Nothing listens yet.
  EXPECT_EQ(ask(*w, "'en'").rfind(R"(["rejected",)", 0), 0u);
  TTempDir server;
  fs::create_directories(server.File("request/launcherdata/en"));
  testing::WriteFileText(server.File("request/launcherdata/en/index.html"), "({ServerTime: '12:00'})");
  testing::TServerOptions so;
  so.port = DataPort();
  testing::TNginxServer nginx(testing::TServerMode::Good, server.Path(), so);
  struct Case {
    const char* lang;
    const char* answer;
  } cases[] = {
      {"'en'", R"x(["ok","({ServerTime: '12:00'})"])x"},
      {"'fr'", R"(["rejected","HTTP status 404"])"},
      {"'../en'", R"(["rejected","Not a language code"])"},
      {"42", R"(["rejected","Not a language code"])"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lang);
    EXPECT_EQ(ask(*w, c.lang), c.answer);
  }
  CloseByPage(*w);
}

TEST_F(WindowTest, GraphicsLayerReachesTheEngineBeforeTheWindow) {
  struct Case {
    const char* label;
    Args args;
    const char* acceleration;
    bool log;
  } cases[] = {
      {"no argument: the engine's own choice", {}, "never", false},
      {"a hardware layer", {"3"}, "always", false},
      {"a software layer after -debug", {"-debug", "1"}, "never", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove(game_.File("Launcher.log"));
    auto w = StartReady(c.args);
    EXPECT_TRUE(Contains(w->Describe(), std::string("\"acceleration\":\"") + c.acceleration))
        << w->Describe();
    CloseByPage(*w);
    EXPECT_EQ(fs::exists(game_.File("Launcher.log")), c.log);
  }
}

TEST_F(WindowTest, EngineLibraryIsWrittenWhenItsSizeDiffers) {
  const std::vector<uint8_t> library = ReadFileBytes(VANTREL_ENGINE_LIBRARY_FILE);
  const std::string ondisk = game_.File("libvantrel-engine.so");
  std::vector<uint8_t> samesize(library.size(), 0x5a);
  struct Case {
    const char* label;
    bool present;
    std::vector<uint8_t> before;
    bool rewritten;
    const char* error;
  } cases[] = {
      {"missing", false, {}, true, "Cannot open the display."},
      {"another size", true, std::vector<uint8_t>(1000, 1), true, "Cannot open the display."},
      {"same size, other content", true, samesize, false, "Failed to load libvantrel-engine.so."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove(ondisk);
    if (c.present) WriteFileBytes(ondisk, c.before);
    // Without a display the start ends with its error; the file is settled
    // before that.
    auto w = Start({}, {{"DISPLAY", ""}});
    EXPECT_EQ(w->WaitExit(20000), 1);
    EXPECT_TRUE(Contains(w->Stderr(), c.error)) << w->Stderr();
    EXPECT_TRUE(ReadFileBytes(ondisk) == (c.rewritten ? library : c.before));
  }
}

// Links that another user may have planted at the library's name or beside
// it: the write follows none of them, the library on disk ends up a file of
// its own, and the write leaves no file of its own behind.
TEST_F(WindowTest, EngineLibraryWriteFollowsNoPlantedLink) {
  const std::vector<uint8_t> library = ReadFileBytes(VANTREL_ENGINE_LIBRARY_FILE);
  const std::string ondisk = game_.File("libvantrel-engine.so");
  const std::string victim = elsewhere_.File("victim");
  const std::vector<uint8_t> small = {'k', 'e', 'e', 'p'};
  const std::vector<uint8_t> samesize(library.size(), 0x5a);
  struct Case {
    const char* label;
    const char* name;              // the link's name in the game folder
    bool targetexists;             // the link points at an existing file
    std::vector<uint8_t> target;   // that file's content
  } cases[] = {
      {"link at the temporary name to a file", "libvantrel-engine.so.new", true, small},
      {"dangling link at the temporary name", "libvantrel-engine.so.new", false, {}},
      {"link at the library's name to a file of another size", "libvantrel-engine.so", true,
       small},
      {"link at the library's name to a file of the same size", "libvantrel-engine.so", true,
       samesize},
      {"dangling link at the library's name", "libvantrel-engine.so", false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove(ondisk);
    fs::remove(victim);
    fs::remove(game_.File(c.name));
    if (c.targetexists) WriteFileBytes(victim, c.target);
    fs::create_symlink(victim, game_.File(c.name));
    auto w = Start({}, {{"DISPLAY", ""}});
    EXPECT_EQ(w->WaitExit(20000), 1);
    EXPECT_TRUE(Contains(w->Stderr(), "Cannot open the display.")) << w->Stderr();
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(ondisk)));
    EXPECT_TRUE(ReadFileBytes(ondisk) == library);
    EXPECT_EQ(fs::exists(victim), c.targetexists);
    if (c.targetexists) {
      EXPECT_TRUE(ReadFileBytes(victim) == c.target);
    }
    for (const auto& entry : fs::directory_iterator(game_.Path())) {
      const std::string name = entry.path().filename().string();
      EXPECT_TRUE(name.rfind("libvantrel-engine.so.", 0) != 0 || name == c.name) << name;
    }
    fs::remove(game_.File(c.name));
  }
}

// Runs xdotool; its output, or "" when it failed.
std::string XDoTool(const Args& args) {
  std::string out;
  const int rc = testing::RunProgram("/usr/bin/xdotool", args, &out);
  return rc == 0 ? out : std::string();
}

TEST_F(WindowTest, StartupErrorShowsTheBoxAndEndsWithOneLeavingNoWindow) {
  auto w = Start({"abc"});
  const std::string pid = std::to_string(w->Pid());
  std::string windows;
  for (int i = 0; i < 100 && windows.empty(); ++i) {
    windows = XDoTool({"search", "--onlyvisible", "--pid", pid});
    if (windows.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  // One window: the error box; the launcher's own window never appears.
  std::istringstream lines(windows);
  std::vector<std::string> ids;
  for (std::string id; std::getline(lines, id);) {
    if (!id.empty()) ids.push_back(id);
  }
  ASSERT_EQ(ids.size(), 1u) << windows << w->Stderr();
  EXPECT_EQ(XDoTool({"getwindowname", ids[0]}), "Vantrel\n");
  EXPECT_TRUE(Contains(w->Stderr(), "'abc' is not a valid integer value")) << w->Stderr();
  XDoTool({"windowfocus", "--sync", ids[0]});
  XDoTool({"key", "--clearmodifiers", "Return"});
  EXPECT_EQ(w->WaitExit(20000), 1);
}

TEST(WindowBuild, ShippedLauncherLinksNoToolkitAndHasNoTestHooks) {
  std::string needed;
  ASSERT_EQ(testing::RunProgram("/usr/bin/readelf", {"-d", VANTREL_SHIPPED_LAUNCHER}, &needed), 0);
  EXPECT_TRUE(Contains(needed, "NEEDED"));
  for (const char* lib : {"gtk", "gdk", "webkit", "javascriptcore", "soup"}) {
    EXPECT_FALSE(Contains(needed, lib)) << lib;
  }
  const std::vector<uint8_t> bytes = ReadFileBytes(VANTREL_SHIPPED_LAUNCHER);
  const std::string text(bytes.begin(), bytes.end());
  EXPECT_FALSE(Contains(text, "VANTREL_TEST_HOOKS"));
  const std::vector<uint8_t> testbytes = ReadFileBytes(VANTREL_WINDOW_LAUNCHER);
  EXPECT_TRUE(Contains(std::string(testbytes.begin(), testbytes.end()), "VANTREL_TEST_HOOKS"));
}

}  // namespace
}  // namespace vantrel
