// The real launcher binary, copied into a game folder under the shipped
// name Launcher.exe and run from another folder, as a player would.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <thread>

#include "platform/text_file.h"
#include "support/temp_dir.h"

namespace vantrel {
namespace {

using testing::ReadFileText;
using testing::TTempDir;
using testing::WriteFileText;
using Args = std::vector<std::string>;

const std::string kSecretDigest = "5EBE2294ECD0E0F08EAB7690D2A6EE69";  // MD5 of "secret"

struct TRun {
  int status = -1;  // exit status, or 128 + signal
  std::string out, err;
};

class LauncherTest : public ::testing::Test {
 protected:
  LauncherTest() {
    std::filesystem::create_directories(game_.File("bin32"));
    std::filesystem::copy_file(VANTREL_LAUNCHER_PATH, Launcher());
    std::filesystem::copy_file(FAKE_GAME_PATH, game_.File("bin32/Myrefall.exe"));
  }

  std::string Launcher() const { return game_.File("Launcher.exe"); }
  std::string Record() const { return game_.File("game-record.txt"); }

  // Sets the child's environment and folder: the stand-in game's record, a
  // current folder that is not the game folder, its own session (no
  // controlling terminal).
  void EnterChild(const std::map<std::string, std::string>& env) {
    ::setenv("FAKE_GAME_RECORD", Record().c_str(), 1);
    ::unsetenv("FAKE_GAME_NO_EVENT");
    ::unsetenv("FAKE_GAME_SHM_NAME");
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    for (const auto& [k, v] : env) ::setenv(k.c_str(), v.c_str(), 1);
    if (::chdir(elsewhere_.Path().c_str()) != 0) ::_exit(120);
    if (asnobody_ && ::geteuid() == 0) {
      if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(122);
    }
  }

  // Runs the launcher as an ordinary user (when the tests run as root), so
  // that the ownership of its /proc entries shows whether it is dumpable.
  void RunAsOrdinaryUser() {
    asnobody_ = true;
    if (::geteuid() != 0) return;
    for (const std::string& dir : {game_.Path(), elsewhere_.Path()}) {
      ASSERT_EQ(::chown(dir.c_str(), kNobody, kNobody), 0);
      for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
        ASSERT_EQ(::lchown(entry.path().c_str(), kNobody, kNobody), 0);
      }
    }
  }

  // Owner of the launcher's /proc entries: root while it is not dumpable.
  static uid_t ProcOwner(pid_t pid) {
    struct stat st {};
    if (::stat(("/proc/" + std::to_string(pid) + "/status").c_str(), &st) != 0) return ~0u;
    return st.st_uid;
  }

  // What the launcher gets from the test runner: the standard three only.
  static void CloseInheritedDescriptors() { ::close_range(3, ~0u, 0); }

  [[noreturn]] void Exec(const Args& args) {
    std::vector<char*> argv{const_cast<char*>("Launcher.exe")};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(Launcher().c_str(), argv.data());
    ::_exit(121);
  }

  static int Status(int raw) { return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw); }

  // Runs the launcher with output into files; when signal is set, sends it
  // once the file named by waitfor exists.
  TRun Run(const Args& args, const std::map<std::string, std::string>& env = {}, int signal = 0,
           const std::string& waitfor = "") {
    const std::string out = elsewhere_.File("out.txt");
    const std::string err = elsewhere_.File("err.txt");
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::setsid();
      EnterChild(env);
      const int in = ::open("/dev/null", O_RDONLY);
      const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(in, 0);
      ::dup2(o, 1);
      ::dup2(e, 2);
      CloseInheritedDescriptors();
      Exec(args);
    }
    if (signal != 0) {
      WaitUntil([&] { return std::filesystem::exists(waitfor); });
      ::kill(pid, signal);
    }
    TRun r;
    int raw = 0;
    ::waitpid(pid, &raw, 0);
    r.status = Status(raw);
    r.out = ReadFileText(out);
    r.err = ReadFileText(err);
    return r;
  }

  // Runs the launcher on a pseudo-terminal; answer(output so far) may write
  // to the terminal (returns true once it has done its part).
  template <typename Answer>
  TRun RunOnTerminal(const Args& args, Answer answer,
                     const std::map<std::string, std::string>& env = {}) {
    int master = -1;
    const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
      EnterChild(env);
      CloseInheritedDescriptors();
      Exec(args);
    }
    TRun r;
    bool answered = false;
    for (;;) {
      pollfd p{master, POLLIN, 0};
      if (::poll(&p, 1, 20000) <= 0) break;
      char buf[512];
      const ssize_t n = ::read(master, buf, sizeof buf);
      if (n <= 0) break;  // EIO once the launcher has gone
      r.out.append(buf, static_cast<size_t>(n));
      if (!answered) answered = answer(r.out, master, pid);
    }
    int raw = 0;
    ::waitpid(pid, &raw, 0);
    ::close(master);
    r.status = Status(raw);
    return r;
  }

  template <typename Pred>
  static void WaitUntil(Pred pred) {
    for (int i = 0; i < 2000 && !pred(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  std::map<std::string, std::string> GameRecord() {
    std::map<std::string, std::string> r;
    for (const std::string& line : platform::SplitLines(ReadFileText(Record()))) {
      const auto eq = line.find('=');
      r[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return r;
  }

  void SaveCredentials() {
    WriteFileText(game_.File("credits.dat"), "player\r\n" + kSecretDigest + "\r\n");
  }

  static constexpr uid_t kNobody = 65534;
  TTempDir game_;
  TTempDir elsewhere_;
  bool asnobody_ = false;
};

TEST_F(LauncherTest, HelpAndUsageErrors) {
  struct Case {
    const char* label;
    Args args;
    int status;
    std::string out, err;
  } cases[] = {
      {"help", {"--help"}, 0, "Launcher.exe --headless [-debug] play LOGIN", ""},
      {"headless help", {"--headless", "--help"}, 0, "Exit status:", ""},
      {"no command", {"--headless"}, 2, "", "Try 'Launcher.exe --help'."},
      {"unknown command", {"--headless", "install"}, 2, "", "unknown command 'install'"},
      {"play without login", {"--headless", "play"}, 2, "", "play needs a LOGIN"},
      {"password on the command line",
       {"--headless", "play", "player", "secret"},
       2,
       "",
       "never taken from the command line"},
      // Without a display the window's start ends with its error.
      {"window", {}, 1, "", "Cannot open the display."},
      {"window with a layer", {"3"}, 1, "", "Cannot open the display."},
      {"window with a word", {"abc"}, 1, "", "'abc' is not a valid integer value"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const TRun r = Run(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
  }
  EXPECT_FALSE(std::filesystem::exists(game_.File("Launcher.log")));
}

TEST_F(LauncherTest, DebugWritesTheLogNextToTheExecutable) {
  TRun r = Run({"--headless", "check"});
  EXPECT_FALSE(std::filesystem::exists(game_.File("Launcher.log")));
  EXPECT_FALSE(std::filesystem::exists(elsewhere_.File("Launcher.log")));

  r = Run({"--headless", "-debug", "check"});
  EXPECT_EQ(r.status, 1);  // no download server answers this build's configuration
  EXPECT_NE(r.out.find("Version check error!\n"), std::string::npos) << r.out;
  const std::string log = ReadFileText(game_.File("Launcher.log"));
  EXPECT_NE(log.find(": Loading lang text\r\n"), std::string::npos);
  EXPECT_NE(log.find(": Close browser\r\n"), std::string::npos);

  // The window's rule: -debug first of at least two arguments.
  std::filesystem::remove(game_.File("Launcher.log"));
  r = Run({"-debug", "0"});
  EXPECT_EQ(r.status, 1);  // no display
  EXPECT_TRUE(std::filesystem::exists(game_.File("Launcher.log")));
}

TEST_F(LauncherTest, PlayWithTheSavedPassword) {
  SaveCredentials();
  const TRun r = Run({"--headless", "-debug", "play", " Player "});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("The game is starting, please wait...\n"), std::string::npos) << r.out;
  auto rec = GameRecord();
  EXPECT_EQ(rec["argv11"], "player");
  EXPECT_EQ(rec["argv2"], "+auth_ip");
  EXPECT_EQ(rec["argv3"], "127.0.0.1");
  EXPECT_EQ(rec["login"], "player");
  EXPECT_EQ(rec["digest"], kSecretDigest);
  EXPECT_EQ(rec["cwd"], std::filesystem::canonical(game_.Path()).string());
  // The two descriptors of the handle pair and nothing else of the launcher's.
  unsigned ticket = 0, event = 0;
  ASSERT_EQ(std::sscanf(rec["argv7"].c_str(), "%8X:%8X", &ticket, &event), 2);
  EXPECT_EQ(rec["fds"], std::to_string(std::min(ticket, event)) + "," +
                            std::to_string(std::max(ticket, event)));
  EXPECT_EQ(ReadFileText(game_.File("credits.dat")), "player\r\n" + kSecretDigest + "\r\n");
}

TEST_F(LauncherTest, PlayAsksForThePasswordWithoutEcho) {
  RunAsOrdinaryUser();
  uid_t owner = 0;
  const TRun r = RunOnTerminal({"--headless", "-debug", "play", "newbie"},
                               [&owner](const std::string& out, int master, pid_t pid) {
                                 if (out.find("Password for newbie: ") == std::string::npos)
                                   return false;
                                 owner = ProcOwner(pid);
                                 return ::write(master, "secret\n", 7) == 7;
                               });
  EXPECT_EQ(r.status, 0) << r.out;
  // While it asks for a password the launcher is not dumpable.
  EXPECT_EQ(owner, 0u);
  // The typed password is neither echoed nor logged.
  EXPECT_EQ(r.out.find("secret"), std::string::npos) << r.out;
  EXPECT_EQ(ReadFileText(game_.File("Launcher.log")).find("secret"), std::string::npos);
  EXPECT_NE(r.out.find("The game is starting, please wait..."), std::string::npos) << r.out;
  auto rec = GameRecord();
  EXPECT_EQ(rec["login"], "newbie");
  EXPECT_EQ(rec["digest"], kSecretDigest);
  // Nothing was saved before, so nothing is saved now.
  EXPECT_FALSE(std::filesystem::exists(game_.File("credits.dat")));
}

TEST_F(LauncherTest, PlayWithoutPasswordOrGame) {
  TRun r = Run({"--headless", "play", "stranger"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("No saved password for stranger"), std::string::npos) << r.err;

  SaveCredentials();
  std::filesystem::remove(game_.File("bin32/Myrefall.exe"));
  r = Run({"--headless", "play", "player"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("Launch Error!\n"), std::string::npos) << r.out;
}

TEST_F(LauncherTest, CtrlCAtThePasswordPrompt) {
  const TRun r = RunOnTerminal({"--headless", "-debug", "play", "newbie"},
                               [](const std::string& out, int, pid_t pid) {
                                 if (out.find("Password for newbie: ") == std::string::npos)
                                   return false;
                                 return ::kill(pid, SIGINT) == 0;
                               });
  EXPECT_EQ(r.status, 130) << r.out;
  EXPECT_FALSE(std::filesystem::exists(Record()));
  EXPECT_NE(ReadFileText(game_.File("Launcher.log")).find(": Close browser\r\n"),
            std::string::npos);
}

TEST_F(LauncherTest, TerminationWhileTheGameHoldsItsTicket) {
  SaveCredentials();
  const TRun r = Run({"--headless", "-debug", "play", "player"}, {{"FAKE_GAME_NO_EVENT", "1"}},
                     SIGTERM, Record());
  EXPECT_EQ(r.status, 143) << r.out << r.err;
  EXPECT_NE(r.out.find("Interrupted: closing the launcher..."), std::string::npos) << r.out;
  EXPECT_NE(ReadFileText(game_.File("Launcher.log")).find(": Close browser\r\n"),
            std::string::npos);
  // The ticket the game got is gone (another launcher's may exist meanwhile).
  auto rec = GameRecord();
  struct stat st {};
  if (::stat("/dev/shm/myrefall_auth_ticket_map", &st) == 0) {
    EXPECT_NE(std::to_string(st.st_ino), rec["shmino"]);
  }
}

}  // namespace
}  // namespace vantrel
