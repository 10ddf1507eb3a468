#include "update/update_logic.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <regex>
#include <thread>

#include "platform/errors.h"
#include "platform/text_file.h"
#include "support/temp_dir.h"

namespace vantrel {
namespace {

using testing::ReadFileText;
using testing::TChangeDir;
using testing::TTempDir;
using testing::WriteFileText;

const std::string kShippedConfigs =
    "\xEF\xBB\xBFLauncherName=Launcher.exe\r\nLauncherFolder=\\\r\nVersionFileFolder=\\\r\n"
    "DownloadFolder=\\tmp\r\nLoginType=RU\r\nServerIP=10.0.0.1\r\nRemoveDeletedFiles=true\r\n"
    "UnpackDevDB=false";
const std::string kServers =
    "\xEF\xBB\xBF"
    "2\r\nhttp://a/kestrune/\r\nhttp://b/kestrune/";

// A launcher state over resources of the test's choosing, living in a
// temporary folder that is also the current folder.
class LauncherFixture : public ::testing::Test {
 protected:
  LauncherFixture() : cd_(dir_.Path()) {}

  // extra: further resources by name (type RCDATA).
  std::unique_ptr<TUpdateLogic> Make(std::vector<std::string> args = {},
                                     const std::string& configs = kShippedConfigs,
                                     const std::string& servers = kServers,
                                     const std::map<std::string, std::string>& extra = {}) {
    configs_ = configs;
    servers_ = servers;
    extra_ = extra;
    entries_[0] = {"RCDATA", "Configs", reinterpret_cast<const unsigned char*>(configs_.data()),
                   static_cast<int64_t>(configs_.size())};
    entries_[1] = {"RCDATA", "DownloadServers",
                   reinterpret_cast<const unsigned char*>(servers_.data()),
                   static_cast<int64_t>(servers_.size())};
    size_t n = 2;
    for (const auto& [name, text] : extra_) {
      entries_[n++] = {"RCDATA", name.c_str(), reinterpret_cast<const unsigned char*>(text.data()),
                       static_cast<int64_t>(text.size())};
    }
    entries_[n] = {nullptr, nullptr, nullptr, 0};
    table_ = std::make_unique<platform::TResourceTable>(entries_);
    TStartupContext c;
    c.exepath = dir_.File("Launcher.exe");
    c.args = std::move(args);
    c.resources = table_.get();
    c.firewall = &firewall_;
    c.decimalseparator = '.';
    return std::make_unique<TUpdateLogic>(std::move(c));
  }

  TTempDir dir_;
  TChangeDir cd_;
  platform::TMemoryFirewallPolicy firewall_;
  std::string configs_, servers_;
  std::map<std::string, std::string> extra_;
  platform::TResourceEntry entries_[6];
  std::unique_ptr<platform::TResourceTable> table_;
};

TEST_F(LauncherFixture, LoadInitialDataReadsTheShippedConfiguration) {
  auto logic = Make();
  logic->LoadInitialData();
  EXPECT_FALSE(logic->debugenabled);
  EXPECT_EQ(logic->launchername, "Launcher.exe");
  EXPECT_EQ(logic->launcherfilefolder, "\\");
  EXPECT_EQ(logic->versionfilefolder, "\\");
  EXPECT_EQ(logic->downloadfolder, "\\tmp");
  EXPECT_EQ(logic->gamefolder, dir_.Path());
  EXPECT_EQ(logic->Configs.Value("serverip"), "10.0.0.1");  // names ignore case
  EXPECT_EQ(logic->DownloadThreadsPerSever, 2);
  EXPECT_EQ(logic->DownloadServers,
            (std::vector<std::string>{"http://a/kestrune/", "http://b/kestrune/"}));
  EXPECT_EQ(logic->LoadedLang(), "en");
  const TStatusSnapshot s = logic->GetStatus();
  EXPECT_EQ(s.StatusMessage, "LoadingStatus");
  EXPECT_EQ(s.ProgressBarChange, 0);
  EXPECT_EQ(s.SpeedMessage, "");
  const TButtonsSnapshot b = logic->GetButtons();
  EXPECT_FALSE(b.RepairBtnState || b.PlayBtnState || b.UpdateBtnState || b.CancelBtnState);
  // Without "-debug" nothing is logged.
  EXPECT_FALSE(std::filesystem::exists(dir_.File("Launcher.log")));
}

TEST_F(LauncherFixture, ConfigurationLines) {
  auto logic = Make({},
                    "\xEF\xBB\xBF"
                    "A=1\r\nCut=x=y\r\nGone=\r\nA=2\r\nB=b==\r\nnoequals\r\n\r\nCUT=z");
  logic->LoadConfigs();
  EXPECT_EQ(logic->Configs.Value("A"), "2");    // a later line replaces the value
  EXPECT_EQ(logic->Configs.Value("Cut"), "z");  // names ignore case
  EXPECT_FALSE(logic->Configs.Has("Gone"));     // a final "=" leaves the name absent
  EXPECT_FALSE(logic->Configs.Has("B"));        // also after a value
  EXPECT_FALSE(logic->Configs.Has("noequals"));
  EXPECT_EQ(logic->Configs.Count(), 2u);

  auto cut = Make({}, "X=a=b\r\n");
  cut->LoadConfigs();
  EXPECT_EQ(cut->Configs.Value("X"), "a");  // anything after a second "=" is dropped
}

TEST_F(LauncherFixture, ThreadCountMustBeANumber) {
  for (const char* servers : {"two\r\nhttp://a/", "", "2x\r\n"}) {
    SCOPED_TRACE(servers);
    auto logic = Make({}, kShippedConfigs, servers);
    EXPECT_THROW(logic->LoadInitialData(), EConvertError);
  }
}

TEST_F(LauncherFixture, LanguageFile) {
  struct Case {
    const char* label;
    const char* langdat;  // nullptr: no file
    const char* logintype;
    const char* expected;
  };
  const Case cases[] = {
      {"no file", nullptr, "RU", "en"},
      {"known code", "fr\r\n", "RU", "fr"},
      {"unknown with RU", "de\r\n", "RU", "ru"},
      {"unknown with EU", "de\r\n", "EU", "en"},
      {"unknown without LoginType", "de\r\n", nullptr, "en"},
      {"codes are case-sensitive", "RU\r\n", "RU", "ru"},
      {"empty file", "", "RU", "en"},
      {"second line ignored", "cn\r\nru\r\n", "RU", "cn"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::filesystem::remove(dir_.File("lang.dat"));
    if (c.langdat) WriteFileText(dir_.File("lang.dat"), c.langdat);
    std::string configs = "LauncherName=Launcher.exe\r\n";
    if (c.logintype) configs += std::string("LoginType=") + c.logintype + "\r\n";
    auto logic = Make({}, configs);
    logic->LoadInitialData();
    EXPECT_EQ(logic->LoadedLang(), c.expected);
  }
}

TEST_F(LauncherFixture, LangSaveStoresAnyCode) {
  auto logic = Make();
  logic->LangSave("xx");
  EXPECT_EQ(logic->LoadedLang(), "xx");
  EXPECT_EQ(ReadFileText(dir_.File("lang.dat")), "xx\r\n");
}

TEST_F(LauncherFixture, CredentialsFile) {
  struct Case {
    const char* label;
    const char* content;
    bool save;
    const char* login;
    const char* password;
  };
  const Case cases[] = {
      {"none", nullptr, false, "", ""},
      {"one line", "alice\r\n", false, "", ""},
      {"two lines", "alice\r\nD1G3ST\r\n", true, "alice", "D1G3ST"},
      {"three lines", "alice\r\nD1G3ST\r\nextra\r\n", true, "alice", "D1G3ST"},
      {"utf16",
       "\xFF\xFE"
       "a\0\r\0\n\0d\0",
       true, "a", "d"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::filesystem::remove(dir_.File("credits.dat"));
    if (c.content) {
      const std::string text(c.content, std::char_traits<char>::length(c.content) +
                                            (std::string(c.label) == "utf16" ? 7 : 0));
      WriteFileText(dir_.File("credits.dat"), text);
    }
    auto logic = Make();
    EXPECT_TRUE(logic->LoadCredits());
    EXPECT_EQ(logic->loadedsave, c.save);
    EXPECT_EQ(logic->loadedlogin, c.login);
    EXPECT_EQ(logic->loadedpassword, c.password);
  }
}

TEST_F(LauncherFixture, SaveCredits) {
  const std::string credits = dir_.File("credits.dat");
  WriteFileText(credits, "alice\r\nD1G3ST\r\n");
  auto logic = Make();
  logic->LoadCredits();

  // Unchanged credentials are not rewritten.
  const auto before = std::filesystem::last_write_time(credits);
  WriteFileText(credits, "marker\r\nkept\r\n");
  std::filesystem::last_write_time(credits, before);
  logic->SaveCredits("alice", "D1G3ST", true);
  EXPECT_EQ(ReadFileText(credits), "marker\r\nkept\r\n");

  // A changed login or password is written, owner-only.
  logic->SaveCredits("Alice", "D1G3ST", true);
  EXPECT_EQ(ReadFileText(credits), "Alice\r\nD1G3ST\r\n");
  struct stat st {};
  ASSERT_EQ(::stat(credits.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // Later calls still compare with what was read at start-up.
  logic->SaveCredits("alice", "D1G3ST", true);
  EXPECT_EQ(ReadFileText(credits), "Alice\r\nD1G3ST\r\n");

  // A file others could read before is made owner-only as it is rewritten.
  ASSERT_EQ(::chmod(credits.c_str(), 0644), 0);
  logic->SaveCredits("bob", "D1G3ST", true);
  ASSERT_EQ(::stat(credits.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // Remember-me off deletes the file; a missing file is fine.
  EXPECT_TRUE(logic->SaveCredits("alice", "D1G3ST", false));
  EXPECT_FALSE(std::filesystem::exists(credits));
  EXPECT_TRUE(logic->SaveCredits("alice", "D1G3ST", false));
}

TEST_F(LauncherFixture, ProgressSmall) {
  auto logic = Make();
  struct Case {
    int64_t cur, max;
    int32_t expected;
  };
  const Case cases[] = {
      {1, 3, 3333},  {2, 3, 6667},   {1, 40000, 0},        {999995, 1000000, 10000},
      {5, 4, 10000}, {-1, 4, 0},     {1, 1, 10000},        {0, 7, 0},
      {3, 80000, 0}, {5, 100000, 0}, {INT64_MAX, 1, 10000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.cur) + "/" + std::to_string(c.max));
    logic->ShowProgressSmall(c.cur, c.max);
    EXPECT_EQ(logic->GetStatus().ProgressBarChange, c.expected);
  }
  logic->HideProgressBarSmall();
  EXPECT_EQ(logic->GetStatus().ProgressBarChange, -1);
  logic->ShowProgressBarSmall();
  EXPECT_EQ(logic->GetStatus().ProgressBarChange, 0);
}

TEST_F(LauncherFixture, SpeedAndSizeTexts) {
  auto logic = Make();
  struct Case {
    int64_t value;
    const char* speed;
    const char* size;
  };
  const Case cases[] = {
      {0, "0.00B/s", "0.0B"},
      {10, "10.00B/s", "10.0B"},
      {11, "0.01KB/s", "11.0B"},
      {1024, "1.00KB/s", "1024.0B"},
      {1025, "1.00KB/s", "1.0KB"},
      {10485, "10.24KB/s", "10.2KB"},
      {10486, "0.01MB/s", "10.2KB"},
      {1048576, "1.00MB/s", "1024.0KB"},
      {1048577, "1.00MB/s", "1.0MB"},
      {1073741825, "1024.00MB/s", "1.00GB"},
      {1099511627777LL, "1048576.00MB/s", "1.00TB"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(logic->FormatSpeed(c.value), c.speed);
    EXPECT_EQ(logic->FormatSize(c.value), c.size);
  }
  logic->ShowSize(1024, 1025, true);
  EXPECT_EQ(logic->GetStatus().SizeMessage, "1024.0B / 1.0KB");
  logic->ShowSize(3, 17, false);
  EXPECT_EQ(logic->GetStatus().SizeMessage, "3 / 17");
  logic->HideSize();
  EXPECT_EQ(logic->GetStatus().SizeMessage, "");

  // The locale's separator is used.
  auto comma = [&] {
    TStartupContext c;
    c.exepath = dir_.File("Launcher.exe");
    c.decimalseparator = ',';
    c.firewall = &firewall_;
    return TUpdateLogic(std::move(c));
  };
  TUpdateLogic de = comma();
  EXPECT_EQ(de.FormatSpeed(10485), "10,24KB/s");
  EXPECT_EQ(de.FormatSize(1025), "1,0KB");
}

TEST_F(LauncherFixture, DownloadStatusAndOutcomes) {
  auto logic = Make();
  logic->UpdateDownStatusSmall(1, 3, 11, true, true);
  TStatusSnapshot s = logic->GetStatus();
  EXPECT_EQ(s.ProgressBarChange, 3333);
  EXPECT_EQ(s.SpeedMessage, "0.01KB/s");
  EXPECT_EQ(s.SizeMessage, "1.0B / 3.0B");
  logic->UpdateDownStatusSmall(2, 3, 11, false, false);
  s = logic->GetStatus();
  EXPECT_EQ(s.SpeedMessage, "");
  EXPECT_EQ(s.SizeMessage, "2 / 3");

  struct Case {
    const char* label;
    void (TUpdateLogic::*report)();
    const char* key;
    bool repair, play;
  };
  const Case cases[] = {
      {"version check error", &TUpdateLogic::ShowVersionCheckError, "VersionCheckError", true,
       false},
      {"version check success", &TUpdateLogic::ShowVersionCheckSuccess, "ApplicationReady", true,
       true},
      {"repair error", &TUpdateLogic::ShowRepairError, "RepairError", true, false},
      {"repair success", &TUpdateLogic::ShowRepairSuccess, "ApplicationReady", true, true},
      {"update error", &TUpdateLogic::ShowUpdateError, "UpdateError", true, false},
      {"update success", &TUpdateLogic::ShowUpdateSuccess, "ApplicationReady", true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    logic->OnStatusMessage("CheckingFile", "\\bin32\\a.dll");
    logic->OnChangeButtonsState(false, false, true, true);
    logic->OnProgressBarChange(1234);
    (logic.get()->*c.report)();
    s = logic->GetStatus();
    EXPECT_EQ(s.StatusMessage, c.key);
    EXPECT_EQ(s.StatusMessageValue, "");  // the value is cleared with every key
    const TButtonsSnapshot b = logic->GetButtons();
    EXPECT_EQ(b.RepairBtnState, c.repair);
    EXPECT_EQ(b.PlayBtnState, c.play);
    EXPECT_FALSE(b.UpdateBtnState);
    EXPECT_FALSE(b.CancelBtnState);
    EXPECT_EQ(s.ProgressBarChange, c.play ? 10000 : 1234);
  }
}

TEST_F(LauncherFixture, StatusTextsAreWholeUnderConcurrentWriters) {
  auto logic = Make();
  const std::string a(300, 'a'), b(500, 'b');
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  for (int t = 0; t < 3; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; !stop; ++i) {
        logic->OnStatusMessage((i + t) % 2 ? a : b, (i + t) % 2 ? b : a);
        logic->OnSpeedMessage((i + t) % 2 ? a : b);
      }
    });
  }
  for (int i = 0; i < 20000; ++i) {
    const TStatusSnapshot s = logic->GetStatus();
    ASSERT_TRUE(s.StatusMessage.empty() || s.StatusMessage == a || s.StatusMessage == b);
    ASSERT_TRUE(s.SpeedMessage.empty() || s.SpeedMessage == a || s.SpeedMessage == b);
  }
  stop = true;
  for (auto& w : writers) w.join();
}

TEST_F(LauncherFixture, LogNeedsDebugAsFirstOfTwoArguments) {
  struct Case {
    std::vector<std::string> args;
    bool enabled;
  };
  const Case cases[] = {
      {{"-debug", "x"}, true},  {{"-debug"}, false}, {{"x", "-debug"}, false},
      {{"-DEBUG", "x"}, false}, {{}, false},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(dir_.File("Launcher.log"));
    auto logic = Make(c.args);
    logic->LoadInitialData();
    EXPECT_EQ(logic->debugenabled, c.enabled);
    EXPECT_EQ(std::filesystem::exists(dir_.File("Launcher.log")), c.enabled);
    logic->UnInitLogFile();
  }
}

TEST_F(LauncherFixture, LogLinesAreWholeFromManyThreads) {
  auto logic = Make({"-debug", "0"});
  logic->LoadInitialData();
  constexpr int kThreads = 8, kLines = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i) {
        logic->LogMessage(
            "thread " + std::to_string(t) + " line " + std::to_string(i) + " " +
            std::string(static_cast<size_t>(50 + (i * 37) % 400), static_cast<char>('a' + t)));
      }
    });
  }
  for (auto& th : threads) th.join();
  logic->UnInitLogFile();

  const std::string text = ReadFileText(logic->LogFileName());
  EXPECT_EQ(logic->LogFileName(), dir_.File("Launcher.log"));
  // Every line ends with CR LF and carries a date, ": " and one whole message.
  const std::regex line(R"((.+): thread ([0-7]) line (\d+) ([a-h]+))");
  size_t start = 0;
  int count = 0;
  std::vector<std::vector<bool>> seen(kThreads, std::vector<bool>(kLines));
  while (start < text.size()) {
    const size_t end = text.find("\r\n", start);
    ASSERT_NE(end, std::string::npos);
    const std::string l = text.substr(start, end - start);
    start = end + 2;
    std::smatch m;
    if (l.find("thread") == std::string::npos) continue;  // start-up lines
    ASSERT_TRUE(std::regex_match(l, m, line)) << l;
    const int t = std::stoi(m[2]);
    const int i = std::stoi(m[3]);
    EXPECT_EQ(m[4].str(),
              std::string(static_cast<size_t>(50 + (i * 37) % 400), static_cast<char>('a' + t)));
    EXPECT_FALSE(seen[t][i]);
    seen[t][i] = true;
    ++count;
  }
  EXPECT_EQ(count, kThreads * kLines);
  EXPECT_NE(text.find(": Loading lang text\r\n"), std::string::npos);
  EXPECT_NE(text.find(": Loading credits\r\n"), std::string::npos);
  EXPECT_NE(text.find(": Adding firewall rules\r\n"), std::string::npos);
}

TEST_F(LauncherFixture, LogThatCannotBeCreatedRaises) {
  std::filesystem::create_directory(dir_.File("Launcher.log"));  // a folder in the way
  auto logic = Make({"-debug", "x"});
  EXPECT_THROW(logic->LoadInitialData(), EFOpenError);
}

TEST_F(LauncherFixture, FirewallRuleMatching) {
  const std::string exe = dir_.File("Launcher.exe");
  auto rule = [](std::string name, std::string app, bool enabled, int action) {
    platform::TFirewallRule r;
    r.name = std::move(name);
    r.applicationname = std::move(app);
    r.enabled = enabled;
    r.action = action;
    return r;
  };
  struct Case {
    const char* label;
    std::vector<platform::TFirewallRule> existing;
    int major;
    bool added;
  };
  const Case cases[] = {
      {"no rules", {}, 10, true},
      {"same name, other path",
       {rule("Launcher.exe", "/elsewhere/Launcher.exe", true, 1)},
       10,
       true},
      {"same path, other name", {rule("launcher.exe", exe, true, 1)}, 10, true},
      {"disabled blocking match counts", {rule("Launcher.exe", exe, false, 0)}, 10, false},
      {"match after others",
       {rule("x", "y", true, 1), rule("Launcher.exe", exe, true, 1)},
       10,
       false},
      {"old system", {}, 5, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    firewall_ = platform::TMemoryFirewallPolicy();
    firewall_.rules = c.existing;
    firewall_.majorversion = c.major;
    auto logic = Make();
    logic->LoadInitialData();
    ASSERT_EQ(firewall_.rules.size(), c.existing.size() + (c.added ? 1 : 0));
    if (c.added) {
      const platform::TFirewallRule& r = firewall_.rules.back();
      EXPECT_EQ(r.name, "Launcher.exe");
      EXPECT_EQ(r.description, "Launcher.exe");
      EXPECT_EQ(r.applicationname, exe);
      EXPECT_EQ(r.protocol, 6);
      EXPECT_EQ(r.direction, 2);
      EXPECT_TRUE(r.enabled);
      EXPECT_EQ(r.profiles, 7);
      EXPECT_EQ(r.action, 1);
      EXPECT_EQ(firewall_.opencount, 2);  // a second policy object for the add
    }
    if (c.major < 6) {
      EXPECT_EQ(firewall_.opencount, 0);
    }
  }
}

TEST_F(LauncherFixture, FirewallFailuresAreDropped) {
  firewall_.denyadd = true;
  auto denied = Make();
  EXPECT_NO_THROW(denied->LoadInitialData());
  EXPECT_TRUE(firewall_.rules.empty());

  firewall_ = platform::TMemoryFirewallPolicy();
  firewall_.serviceabsent = true;
  auto absent = Make();
  EXPECT_NO_THROW(absent->LoadInitialData());

  // The system policy of this platform reports no service (it raises); a
  // start-up that uses it still loads everything after the rule.
  EXPECT_THROW(platform::SystemFirewallPolicy().OpenRules(), EVantrelError);
  Make();  // the shipped resources in table_
  TStartupContext c;
  c.exepath = dir_.File("Launcher.exe");
  c.args = {"-debug", "x"};
  c.resources = table_.get();
  c.firewall = nullptr;  // the system's policy
  TUpdateLogic system(std::move(c));
  system.LoadInitialData();
  EXPECT_EQ(system.launchername, "Launcher.exe");
  system.UnInitLogFile();
  EXPECT_NE(ReadFileText(dir_.File("Launcher.log")).find(": Adding firewall rules\r\n"),
            std::string::npos);
}

// A self-signed certificate, PEM, made with OpenSSL.
std::string SelfSignedCertificatePem() {
  EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
  X509* cert = X509_new();
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("test authority"), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509_sign(cert, key, EVP_sha256());
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, cert);
  char* data = nullptr;
  const long len = BIO_get_mem_data(bio, &data);
  std::string pem(data, static_cast<size_t>(len));
  BIO_free(bio);
  X509_free(cert);
  EVP_PKEY_free(key);
  return pem;
}

// The optional resources of a launcher built for signed releases and HTTPS:
// "ReleaseKeys" and "ServerCA" are read at start, and a file that holds no
// usable key or certificate stops the start instead of trusting everything.
TEST_F(LauncherFixture, ReleaseKeysAndServerAuthority) {
  const std::string key = "MCowBQYDK2VwAyEAQHQ8BGAiTq30uIc6tPOnUXWgh21fpGvNz255FCR+gxY=";
  const std::string other = "MCowBQYDK2VwAyEA36pmLheprP9GF50EUk9KArwEZjPCjemGTsdFMgW3YW8=";
  const std::string pem = SelfSignedCertificatePem();
  struct TCase {
    const char* label;
    std::map<std::string, std::string> extra;
    bool starts;
    size_t keys;  // 0: built without keys
    bool pinned;
  };
  const TCase cases[] = {
      {"neither", {}, true, 0, false},
      {"two keys with a comment, a mark and CR LF",
       {{"ReleaseKeys", "\xEF\xBB\xBF# keys\r\n" + key + " current\r\n" + other + "\r\n"}},
       true,
       2,
       false},
      {"keys and an authority", {{"ReleaseKeys", key}, {"ServerCA", pem}}, true, 1, true},
      {"an authority alone", {{"ServerCA", pem}}, true, 0, true},
      {"a key list without a key", {{"ReleaseKeys", "# none yet\r\n"}}, false, 0, false},
      {"a line that is no key", {{"ReleaseKeys", key + "\r\nnot-a-key\r\n"}}, false, 0, false},
      {"an authority file without a certificate",
       {{"ServerCA", "not a certificate"}},
       false,
       0,
       false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.label);
    auto logic = Make({}, kShippedConfigs, kServers, c.extra);
    if (!c.starts) {
      EXPECT_THROW(logic->LoadInitialData(), EVantrelError);
      continue;
    }
    logic->LoadInitialData();
    EXPECT_EQ(logic->releasekeys.has_value(), c.keys > 0);
    if (logic->releasekeys) {
      EXPECT_EQ(logic->releasekeys->Count(), c.keys);
    }
    EXPECT_EQ(!logic->servertrust.cabundle.empty(), c.pinned);
  }
}

// The highest release this client accepted, kept beside client.version:
// whatever is not a whole number reads as none.
TEST_F(LauncherFixture, AcceptedReleaseFile) {
  auto logic = Make();
  logic->LoadInitialData();
  EXPECT_EQ(logic->AcceptedRelease(), 0);
  struct TCase {
    std::string text;
    int32_t accepted;
  };
  const TCase cases[] = {
      {"12\n", 12}, {"7", 7}, {"2147483647\r\n", 2147483647}, {"2147483648\n", 0}, {"-3\n", 0},
      {"x\n", 0},   {"", 0},  {std::string(100, '1'), 0}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.text);
    WriteFileText(dir_.File(TUpdateLogic::kAcceptedReleaseFile), c.text);
    EXPECT_EQ(logic->AcceptedRelease(), c.accepted);
  }
}

}  // namespace
}  // namespace vantrel
