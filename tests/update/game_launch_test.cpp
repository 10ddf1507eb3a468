#include "update/game_launch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <map>

#include "platform/process.h"
#include "platform/text_file.h"
#include "support/temp_dir.h"
#include "update/update_logic.h"

namespace vantrel {
namespace {

using testing::ReadFileText;
using testing::TChangeDir;
using testing::TTempDir;
using testing::WriteFileText;

const std::string kConfigs =
    "\xEF\xBB\xBFLauncherName=Launcher.exe\r\nLauncherFolder=\\\r\nVersionFileFolder=\\\r\n"
    "DownloadFolder=\\tmp\r\nLoginType=RU\r\nServerIP=10.0.0.1\r\nRemoveDeletedFiles=true\r\n"
    "UnpackDevDB=false";
const std::string kServers =
    "\xEF\xBB\xBF"
    "2\r\nhttp://a/kestrune/";
const std::string kSecretDigest = "5EBE2294ECD0E0F08EAB7690D2A6EE69";  // MD5 of "secret"

std::string Hex(const std::string& bytes) {
  std::string s;
  for (const char c : bytes) {
    char buf[3];
    std::snprintf(buf, sizeof buf, "%02X", static_cast<unsigned char>(c));
    s += buf;
  }
  return s;
}

bool ShmExists(const std::string& name) {
  const int fd = ::shm_open(("/" + name).c_str(), O_RDONLY, 0);
  if (fd >= 0) ::close(fd);
  return fd >= 0;
}

// A game folder holding the launcher's state, the stand-in game and the
// file the game writes what it received to. The folder is also current.
class GameLaunchTest : public ::testing::Test {
 protected:
  GameLaunchTest() : cd_(dir_.Path()) {
    std::filesystem::create_directories(dir_.File("bin32"));
    std::filesystem::copy_file(FAKE_GAME_PATH, dir_.File("bin32/Myrefall.exe"));
    ::setenv("FAKE_GAME_RECORD", record_.c_str(), 1);
    ::setenv("FAKE_GAME_SHM_NAME", ticket_.c_str(), 1);
    ::unsetenv("FAKE_GAME_NO_EVENT");
  }
  ~GameLaunchTest() override {
    if (logic_ && logic_->gameprocid != 0)
      ::waitpid(static_cast<pid_t>(logic_->gameprocid), nullptr, 0);
  }

  TUpdateLogic& Make(const std::string& lang = "en", bool debug = true) {
    entries_[0] = {"RCDATA", "Configs", reinterpret_cast<const unsigned char*>(kConfigs.data()),
                   static_cast<int64_t>(kConfigs.size())};
    entries_[1] = {"RCDATA", "DownloadServers",
                   reinterpret_cast<const unsigned char*>(kServers.data()),
                   static_cast<int64_t>(kServers.size())};
    entries_[2] = {nullptr, nullptr, nullptr, 0};
    table_ = std::make_unique<platform::TResourceTable>(entries_);
    TStartupContext c;
    c.exepath = dir_.File("Launcher.exe");
    if (debug) c.args = {"-debug", "play"};
    c.resources = table_.get();
    c.firewall = &firewall_;
    c.decimalseparator = '.';
    WriteFileText(dir_.File("lang.dat"), lang + "\r\n");
    logic_ = std::make_unique<TUpdateLogic>(std::move(c));
    logic_->LoadInitialData();
    logic_->ticketname = ticket_;
    logic_->gameticketwaitms = 20000;
    logic_->FOnCloseFinished = [this](int32_t delay) { closedelays_.push_back(delay); };
    return *logic_;
  }

  // The game's record once it has exited.
  std::map<std::string, std::string> GameRecord() {
    int status = -1;
    EXPECT_EQ(::waitpid(static_cast<pid_t>(logic_->gameprocid), &status, 0),
              static_cast<pid_t>(logic_->gameprocid));
    logic_->gameprocid = 0;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::map<std::string, std::string> r;
    for (const std::string& line : platform::SplitLines(ReadFileText(record_))) {
      const auto eq = line.find('=');
      r[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return r;
  }

  std::string Log() { return ReadFileText(dir_.File("Launcher.log")); }

  TTempDir dir_;
  TChangeDir cd_;
  std::string record_ = dir_.File("game-record.txt");
  std::string ticket_ = "vantrel_test_ticket_" + std::to_string(::getpid());
  platform::TMemoryFirewallPolicy firewall_;
  platform::TResourceEntry entries_[3];
  std::unique_ptr<platform::TResourceTable> table_;
  std::unique_ptr<TUpdateLogic> logic_;
  std::vector<int32_t> closedelays_;
};

TEST(GameTicketTest, Rc4MatchesThePublishedVectors) {
  struct Case {
    std::string key, plain, cipherhex;
  } cases[] = {{"Key", "Plaintext", "BBF316E8D940AF0AD3"}, {"Wiki", "pedia", "1021BF0420"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    std::string data = c.plain;
    Rc4Crypt({reinterpret_cast<const uint8_t*>(c.key.data()), c.key.size()},
             {reinterpret_cast<uint8_t*>(data.data()), data.size()});
    EXPECT_EQ(Hex(data), c.cipherhex);
  }
}

TEST(GameTicketTest, PasswordDigestTakesUtf16CodeUnits) {
  struct Case {
    const char* label;
    std::string password, digest;
  } cases[] = {
      {"ascii", "secret", kSecretDigest},
      {"latin letters become ?", "p\xC3\xA4ssw\xC3\xB6rd", "AAA5F1439348A1245EEE6C767B2FEB85"},
      {"empty", "", "D41D8CD98F00B204E9800998ECF8427E"},
      // Outside the basic plane a character is two code units: "??".
      {"astral", "\xF0\x9F\x98\x80", DigestText(PasswordDigest("??"))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(DigestText(PasswordDigest(c.password)), c.digest);
  }
  EXPECT_NE(DigestText(PasswordDigest("??")), DigestText(PasswordDigest("?")));
  EXPECT_EQ(DigestFromText(kSecretDigest).value(), PasswordDigest("secret"));
  EXPECT_FALSE(DigestFromText("5EBE2294ECD0E0F08EAB7690D2A6EE6"));
  EXPECT_FALSE(DigestFromText("5EBE2294ECD0E0F08EAB7690D2A6EE6X"));
}

TEST(GameTicketTest, LoginIsCutWithoutSplittingACharacter) {
  EXPECT_EQ(NormaliseLogin(" \t Player\r\n"), "player");
  EXPECT_EQ(NormaliseLogin("\xC3\x84"
                           "Bc"),
            "\xC3\x84"
            "bc");  // only ASCII letters here
  EXPECT_EQ(CutToCodeUnits("abcdefghijklmnopqrst", 16), "abcdefghijklmnop");
  EXPECT_EQ(CutToCodeUnits(std::string(15, 'a') + "\xF0\x9F\x98\x80", 16), std::string(15, 'a'));
  EXPECT_EQ(CutToCodeUnits(std::string(14, 'a') + "\xF0\x9F\x98\x80"
                                                  "b",
                           16),
            std::string(14, 'a') + "\xF0\x9F\x98\x80");
  // Sixteen Cyrillic letters stay whole on the command line; the ticket's
  // 16-byte field takes the first eight.
  std::string zh;
  for (int i = 0; i < 16; ++i) zh += "\xD0\xB6";
  EXPECT_EQ(CutToCodeUnits(zh, 16), zh);
  const auto ticket = BuildGameTicket(zh, PasswordDigest("secret"));
  EXPECT_EQ(std::string(ticket.begin(), ticket.begin() + 16), zh.substr(0, 16));
  const auto odd = BuildGameTicket("abcdefghijklmno\xD0\xB6", PasswordDigest("secret"));
  EXPECT_EQ(std::string(odd.begin(), odd.begin() + 16), std::string("abcdefghijklmno") + '\0');
}

TEST(GameTicketTest, CommandLineSplitsLikeAShell) {
  EXPECT_EQ(platform::SplitCommandLine("\"/a b\\bin32\\x.exe\" -t  -uid p"),
            (std::vector<std::string>{"/a b\\bin32\\x.exe", "-t", "-uid", "p"}));
  EXPECT_EQ(platform::SplitCommandLine("a \"\" b"), (std::vector<std::string>{"a", "", "b"}));
}

struct LaunchCase {
  const char* label;
  std::string lang;
  std::string login, password;
  bool issave;
  bool saved;              // credits.dat holds "player" and the digest of "secret" at start
  std::string savedlogin;  // credits.dat afterwards: first line, "" = deleted
  bool rewritten;          // credits.dat written anew
  std::string uid;         // after -uid and in the ticket
  std::string digest;
  std::string leading, langswitch;
};

TEST_F(GameLaunchTest, PlayHandsTheGameItsTicketAndCommandLine) {
  const std::string twenty = "abcdefghijklmnopqrst";
  const LaunchCase cases[] = {
      {"typed password, english", "en", "player", "secret", true, false, "player", true, "player",
       kSecretDigest, "-t", "-lang en_us"},
      {"saved digest reused", "en", "player", kSecretDigest, true, true, "player", false, "player",
       kSecretDigest, "-t", "-lang en_us"},
      {"retyped password", "fr", "Player", "secret", true, true, "player", false, "player",
       kSecretDigest, "-t", "-lang fr"},
      {"blanks around", "ru", " Player ", "secret", true, false, "player", true, "player",
       kSecretDigest, "-r", "-lang ru"},
      {"twenty characters", "cn", twenty, "secret", true, false, twenty, true, twenty.substr(0, 16),
       kSecretDigest, "-t", "-lang zh_cn"},
      {"non-ASCII password", "en", "player", "p\xC3\xA4ssw\xC3\xB6rd", true, false, "player", true,
       "player", "AAA5F1439348A1245EEE6C767B2FEB85", "-t", "-lang en_us"},
      {"remember-me off", "en", "player", kSecretDigest, false, true, "", false, "player",
       kSecretDigest, "-t", "-lang en_us"},
      {"linguistic lower case", "en", "\xC3\x84RGER", "secret", true, false, "\xC3\x84rger", true,
       "\xC3\xA4rger", kSecretDigest, "-t", "-lang en_us"},
  };
  for (const LaunchCase& c : cases) {
    SCOPED_TRACE(c.label);
    std::filesystem::remove(dir_.File("credits.dat"));
    std::filesystem::remove(record_);
    // A third line that a rewrite would drop.
    if (c.saved)
      WriteFileText(dir_.File("credits.dat"), "player\r\n" + kSecretDigest + "\r\nuntouched\r\n");
    closedelays_.clear();
    TUpdateLogic& logic = Make(c.lang);

    logic.LaunchGame(c.login, c.password, c.issave);

    EXPECT_EQ(closedelays_, std::vector<int32_t>{30});
    EXPECT_EQ(logic.GetStatus().StatusMessage, "GameStarting");
    const TButtonsSnapshot b = logic.GetButtons();
    EXPECT_FALSE(b.RepairBtnState || b.PlayBtnState || b.UpdateBtnState || b.CancelBtnState);
    EXPECT_FALSE(ShmExists(ticket_));
    ASSERT_NE(logic.gameprocid, 0u);
    auto r = GameRecord();

    const std::string handles = r["cmdline"].substr(r["cmdline"].find("-handle ") + 8, 17);
    EXPECT_EQ(r["cmdline"], "\"" + dir_.Path() + "\\bin32\\Myrefall.exe\" " + c.leading +
                                " +auth_ip 10.0.0.1 -auth_port 1237 -handle " + handles + " " +
                                c.langswitch + " -uid " + c.uid);
    EXPECT_EQ(std::stoi(r["argc"]), 12);
    EXPECT_EQ(r["argv0"], dir_.Path() + "\\bin32\\Myrefall.exe");
    EXPECT_EQ(r["argv7"], handles);
    EXPECT_EQ(r["argv9"], c.langswitch.substr(6));
    EXPECT_EQ(r["argv11"], c.uid);
    EXPECT_EQ(r["cwd"], std::filesystem::canonical(dir_.Path()).string());
    EXPECT_EQ(r["shmmode"], "600");
    EXPECT_EQ(r["shmsize"], "32");
    EXPECT_EQ(r["byname"], "same");
    EXPECT_EQ(r["login"], c.uid.substr(0, 16));
    EXPECT_EQ(r["loginhex"], Hex(c.uid.substr(0, 16)) +
                                 std::string(2 * (16 - std::min<size_t>(16, c.uid.size())), '0'));
    EXPECT_EQ(r["digest"], c.digest);

    if (c.savedlogin.empty()) {
      EXPECT_FALSE(std::filesystem::exists(dir_.File("credits.dat")));
    } else {
      const auto lines = platform::ReadTextLines(dir_.File("credits.dat"));
      ASSERT_GE(lines.size(), 2u);
      EXPECT_EQ(lines[0], c.savedlogin);
      EXPECT_EQ(lines[1], c.digest);
      EXPECT_EQ(lines.size() == 3, !c.rewritten);
    }
    const std::string log = Log();
    EXPECT_NE(log.find("Launch game\r\n"), std::string::npos);
    EXPECT_NE(log.find("Create game process\r\n"), std::string::npos);
    EXPECT_NE(log.find("Close browser\r\n"), std::string::npos);
    if (c.password != c.digest) {
      EXPECT_EQ(log.find(c.password), std::string::npos);
      EXPECT_EQ(r["cmdline"].find(c.password), std::string::npos);
    }
  }
}

TEST_F(GameLaunchTest, MissingGameIsALaunchError) {
  std::filesystem::remove(dir_.File("bin32/Myrefall.exe"));
  TUpdateLogic& logic = Make();
  logic.LaunchGame("player", "secret", true);
  EXPECT_EQ(logic.GetStatus().StatusMessage, "LaunchError");
  const TButtonsSnapshot b = logic.GetButtons();
  EXPECT_FALSE(b.RepairBtnState || b.PlayBtnState || b.UpdateBtnState || b.CancelBtnState);
  EXPECT_TRUE(closedelays_.empty());
  EXPECT_EQ(logic.gameprocid, 0u);
  EXPECT_FALSE(ShmExists(ticket_));
  logic.UnInitLogFile();
  EXPECT_NE(Log().find("Failed create game process, error: 2\r\n"), std::string::npos);
}

// The page may change the language (on the UI thread) while Play reads it
// for the game's command line (on the launch thread): a data race unless
// the language is guarded (ThreadSanitizer tells).
TEST_F(GameLaunchTest, LanguageSavedWhileAGameStarts) {
  std::filesystem::remove(dir_.File("bin32/Myrefall.exe"));
  TUpdateLogic& logic = Make();
  std::atomic<bool> stop{false};
  std::thread page([&] {
    for (int i = 0; !stop; ++i) logic.LangSave(i % 2 ? "fr" : "ru");
  });
  for (int i = 0; i < 30; ++i) {
    logic.LaunchGame("player", "secret", false);
    EXPECT_EQ(logic.GetStatus().StatusMessage, "LaunchError");
  }
  stop = true;
  page.join();
  const std::string lang = logic.LoadedLang();
  EXPECT_TRUE(lang == "fr" || lang == "ru") << lang;
}

TEST_F(GameLaunchTest, LeftoverTicketOfTheSameNameIsReplaced) {
  // A launcher that ended while the game held its ticket left the name behind.
  const int stale = ::shm_open(("/" + ticket_).c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
  ASSERT_GE(stale, 0);
  ASSERT_EQ(::ftruncate(stale, 4096), 0);
  ::close(stale);
  TUpdateLogic& logic = Make();
  logic.LaunchGame("player", "secret", false);
  EXPECT_EQ(closedelays_, std::vector<int32_t>{30});
  EXPECT_FALSE(ShmExists(ticket_));
  auto r = GameRecord();
  EXPECT_EQ(r["byname"], "same");
  EXPECT_EQ(r["shmmode"], "600");
  EXPECT_EQ(r["shmsize"], "32");
  EXPECT_EQ(r["digest"], kSecretDigest);
}

TEST_F(GameLaunchTest, GameThatNeverSetsTheEventIsWaitedForAtMostTheBound) {
  ::setenv("FAKE_GAME_NO_EVENT", "1", 1);
  TUpdateLogic& logic = Make();
  logic.gameticketwaitms = 300;
  logic.LaunchGame("player", "secret", false);
  EXPECT_EQ(closedelays_, std::vector<int32_t>{30});
  EXPECT_FALSE(ShmExists(ticket_));
  auto r = GameRecord();
  EXPECT_EQ(r["event"], "notset");
  EXPECT_EQ(r["digest"], kSecretDigest);
}

TEST_F(GameLaunchTest, ThreadRefusesASecondLaunchAndReportsItsErrors) {
  ::setenv("FAKE_GAME_NO_EVENT", "1", 1);
  TUpdateLogic& logic = Make();
  logic.gameticketwaitms = 500;
  std::promise<int32_t> closed;
  logic.FOnCloseFinished = [&closed](int32_t delay) { closed.set_value(delay); };
  ASSERT_TRUE(LaunchGameThread::Start(logic, "player", "secret", false));
  EXPECT_FALSE(LaunchGameThread::Start(logic, "other", "secret", false));
  EXPECT_EQ(closed.get_future().get(), 30);
  logic.gamelaunchthread.join();
  GameRecord();

  // credits.dat that cannot be written ends the launch with an error report.
  std::filesystem::create_directory(dir_.File("credits.dat"));
  ASSERT_TRUE(LaunchGameThread::Start(logic, "player", "typed", true));
  logic.gamelaunchthread.join();
  EXPECT_EQ(logic.GetStatus().StatusMessage, "LaunchError");
  EXPECT_EQ(logic.gameprocid, 0u);
}

}  // namespace
}  // namespace vantrel
