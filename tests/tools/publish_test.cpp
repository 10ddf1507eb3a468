#include "publish/publish.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>

#include "pack/pack_limits.h"
#include "platform/errors.h"
#include "platform/stream.h"
#include "support/publish_tree.h"
#include "support/temp_dir.h"
#include "versions/update_list.h"

#ifdef VANTREL_HAVE_CURL
#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <csignal>
#include <thread>
#endif

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using testing::ReadServedTree;
using testing::RunProgram;
using testing::TClientFiles;
using testing::TTempDir;

const std::string kPublish = VANTREL_PUBLISH_BIN;

// A temp folder with a sample client and a launcher binary.
struct TPublishFixture : ::testing::Test {
  TTempDir dir;
  std::string client = dir.File("client");
  std::string launcher = dir.File("Launcher.exe");
  std::string server = dir.File("srv");
  TClientFiles files = testing::SampleClientFiles();

  void SetUp() override {
    testing::WriteClientFolder(client, files);
    std::vector<uint8_t> exe(300000);
    for (size_t i = 0; i < exe.size(); ++i) exe[i] = static_cast<uint8_t>(i * 7 % 251);
    testing::WriteFileBytes(launcher, exe);
  }

  std::vector<std::string> BuildArgs(int version, std::vector<std::string> extra = {}) {
    std::vector<std::string> a = {"build",      "--client",         client,
                                  "--launcher", launcher,           "--out",
                                  server,       "--update-version", std::to_string(version)};
    a.insert(a.end(), extra.begin(), extra.end());
    return a;
  }

  // Marks every file of the server tree as old; a file written afterwards
  // (a new file renamed into place) has a fresh time.
  const fs::file_time_type kOld = fs::file_time_type() + std::chrono::hours(24 * 365 * 31);
  void AgeServerFiles() {
    for (const auto& e : fs::recursive_directory_iterator(server)) {
      if (e.is_regular_file()) fs::last_write_time(e.path(), kOld);
    }
  }
  // Every file of the server tree, and whether it was written since
  // AgeServerFiles.
  std::map<std::string, bool> Written() {
    std::map<std::string, bool> m;
    for (const auto& e : fs::recursive_directory_iterator(server)) {
      if (!e.is_regular_file()) continue;
      m[fs::relative(e.path(), server).generic_string()] = fs::last_write_time(e.path()) != kOld;
    }
    return m;
  }
};

TEST_F(TPublishFixture, PublishedTreeReadsBackThroughTheWorkerRules) {
  struct TLayoutCase {
    const char* label;
    std::vector<std::string> options;
    std::vector<std::string> servedpaths;  // must exist under the server folder
  };
  const TLayoutCase cases[] = {
      {"per-file, layout 5",
       {"--exclude", ".txt"},
       {"bin32/lib112233445566778899001.dll.u", "bin32/plugins/deep/nested.dll.u",
        "game/empty.dat.u", "top.cfg.u", "Launcher.exe.u"}},
      {"folder-split, layout 5",
       {"--folder-split", "--exclude", ".txt"},
       {"bin32.u", "bin32/plugins/deep.u", "game.u", "game/db.u", ".u", "Launcher.exe.u"}},
      {"per-file, layout 4, nothing compressed", {"--layout", "4", "--no-compress-all"}, {}},
      {"per-file, layout 3, launcher in a folder",
       {"--layout", "3", "--launcher-folder", "\\launcher#\\", "--launcher-name", "Start.exe"},
       {"launcher11223344556677889900/Start.exe.u"}},
  };
  int version = 1;
  for (const TLayoutCase& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove_all(server);
    std::string out;
    ASSERT_EQ(RunProgram(kPublish, BuildArgs(version, c.options), &out), 0) << out;
    for (const std::string& p : c.servedpaths) {
      EXPECT_TRUE(fs::is_regular_file(server + "/" + p)) << p;
    }
    EXPECT_EQ(fs::file_size(server + "/launcher.version"), 36u);  // the server probe's file
    EXPECT_EQ(fs::file_size(server + "/build.version"), 24u);
    std::string name = "Launcher.exe", folder = "\\";
    for (size_t i = 0; i + 1 < c.options.size(); ++i) {
      if (c.options[i] == "--launcher-name") name = c.options[i + 1];
      if (c.options[i] == "--launcher-folder") folder = c.options[i + 1];
    }
    const testing::TServedTree t = ReadServedTree(server, name, folder);
    EXPECT_TRUE(t.errors.empty()) << ::testing::PrintToString(t.errors);
    EXPECT_EQ(t.updateversion, version);
    EXPECT_EQ(t.files, files);
    EXPECT_EQ(t.launcher, testing::ReadFileBytes(launcher));
    // The big file alone needs seven chunk requests; an empty transfer form
    // (the 0-byte file stored as it is) needs none.
    EXPECT_GE(t.ranges, static_cast<int64_t>(files.size()) - 1 + 6);
    ++version;
  }
}

TEST_F(TPublishFixture, ListFieldsFollowTheOptions) {
  std::string out;
  ASSERT_EQ(RunProgram(kPublish, BuildArgs(9, {"--folder-split", "--exclude", ".txt;.cfg"}), &out),
            0)
      << out;
  TUpdateList list;
  ASSERT_TRUE(list.LoadFromFile(server + "/client.version"));
  EXPECT_EQ(list.structversion, 5);
  EXPECT_TRUE(list.foldersplit);
  EXPECT_TRUE(list.compressall);
  EXPECT_EQ(list.exclude, ".txt;.cfg");
  EXPECT_FALSE(list.filelist.at("\\game\\db\\readme.txt")->compressed);
  EXPECT_FALSE(list.filelist.at("\\top.cfg")->compressed);
  EXPECT_TRUE(list.filelist.at("\\bin32\\exact.bin")->compressed);
  EXPECT_EQ(list.filelist.at("\\game\\empty.dat")->chunkcrc32.size(), 1u);
  EXPECT_EQ(list.filelist.at("\\game\\db\\big.pak")->chunkcrc32.size(), 7u);
  // Files of one folder lie one after the other in its transfer file.
  const TUpdateFile& a = *list.filelist.at("\\game\\db\\big.pak");
  const TUpdateFile& b = *list.filelist.at("\\game\\db\\readme.txt");
  EXPECT_EQ(a.posinfile, 0);
  EXPECT_EQ(b.posinfile, a.size);
  EXPECT_EQ(static_cast<int64_t>(fs::file_size(server + "/game/db.u")), a.size + b.size);
  EXPECT_EQ(list.filelist.at("\\top.cfg")->posinfile, 0);
}

TEST_F(TPublishFixture, RebuildRewritesOnlyWhatChanged) {
  for (const bool split : {false, true}) {
    SCOPED_TRACE(split ? "folder-split" : "per-file");
    fs::remove_all(server);
    std::vector<std::string> opts;
    if (split) opts.push_back("--folder-split");
    std::string out;
    ASSERT_EQ(RunProgram(kPublish, BuildArgs(1, opts), &out), 0) << out;
    AgeServerFiles();
    const auto before = Written();

    // Nothing changed: nothing but the version files is rewritten.
    ASSERT_EQ(RunProgram(kPublish, BuildArgs(2, opts), &out), 0) << out;
    auto after = Written();
    EXPECT_EQ(after.size(), before.size());
    for (const auto& [path, written] : after) {
      EXPECT_EQ(written, path.ends_with(".version")) << path;
    }

    // One file changed (size kept, new time), one added, one removed.
    AgeServerFiles();
    testing::WriteFileBytes(client + "/bin32/plugins/deep/nested.dll",
                            std::vector<uint8_t>(1234, 0x42));
    const auto later = fs::last_write_time(client + "/top.cfg") + std::chrono::seconds(5);
    fs::last_write_time(client + "/bin32/plugins/deep/nested.dll", later);
    testing::WriteFileText(client + "/game/new.txt", "new file");
    fs::remove(client + "/bin32/lib#1.dll");
    ASSERT_EQ(RunProgram(kPublish, BuildArgs(3, opts), &out), 0) << out;
    after = Written();
    const std::vector<std::string> rewritten =
        split ? std::vector<std::string>{"bin32/plugins/deep.u", "game.u", "bin32.u"}
              : std::vector<std::string>{"bin32/plugins/deep/nested.dll.u", "game/new.txt.u"};
    for (const auto& [path, written] : after) {
      SCOPED_TRACE(path);
      EXPECT_EQ(written, path.ends_with(".version") || std::find(rewritten.begin(), rewritten.end(),
                                                                 path) != rewritten.end());
    }
    if (!split) {
      EXPECT_FALSE(after.contains("bin32/lib112233445566778899001.dll.u"));
    }
    EXPECT_FALSE(fs::exists(server + "/client.version.vantrel-tmp"));

    TClientFiles want = testing::ReadClientFolder(client);
    const testing::TServedTree t = ReadServedTree(server, "Launcher.exe");
    EXPECT_TRUE(t.errors.empty()) << ::testing::PrintToString(t.errors);
    EXPECT_EQ(t.files, want);
    EXPECT_EQ(t.updateversion, 3);
    // Restore the sample for the next round.
    fs::remove_all(client);
    testing::WriteClientFolder(client, files);
  }
}

// A file changed in place keeps its size, and a copy with kept times or a
// reproducible build keeps its date: the rebuild still publishes the new
// contents.
TEST_F(TPublishFixture, FileChangedWithSameSizeAndTimeIsPublishedAgain) {
  for (const bool split : {false, true}) {
    SCOPED_TRACE(split ? "folder-split" : "per-file");
    fs::remove_all(server);
    fs::remove_all(client);
    testing::WriteClientFolder(client, files);
    std::vector<std::string> opts;
    if (split) opts.push_back("--folder-split");
    std::string out;
    ASSERT_EQ(RunProgram(kPublish, BuildArgs(1, opts), &out), 0) << out;
    const std::string path = client + "/top.cfg";
    const auto time = fs::last_write_time(path);
    std::vector<uint8_t> bytes = testing::ReadFileBytes(path);
    ASSERT_FALSE(bytes.empty());
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(b ^ 0x5A);
    testing::WriteFileBytes(path, bytes);
    fs::last_write_time(path, time);
    ASSERT_EQ(RunProgram(kPublish, BuildArgs(2, opts), &out), 0) << out;
    const testing::TServedTree t = ReadServedTree(server, "Launcher.exe");
    EXPECT_TRUE(t.errors.empty()) << ::testing::PrintToString(t.errors);
    EXPECT_EQ(t.files, testing::ReadClientFolder(client));
  }
  fs::remove_all(client);
  testing::WriteClientFolder(client, files);
}

TEST_F(TPublishFixture, FailedRebuildLeavesThePublishedVersionFiles) {
  std::string out;
  ASSERT_EQ(RunProgram(kPublish, BuildArgs(1), &out), 0) << out;
  const auto before = [&] {
    std::map<std::string, std::vector<uint8_t>> m;
    for (const char* n : {"client.version", "build.version", "launcher.version"}) {
      m[n] = testing::ReadFileBytes(server + "/" + n);
    }
    return m;
  }();
  // A changed file whose transfer file cannot be put in place (a folder
  // stands in its way): the publish fails and announces nothing new.
  testing::WriteFileBytes(client + "/top.cfg", std::vector<uint8_t>(50, 1));
  fs::remove(server + "/top.cfg.u");
  fs::create_directories(server + "/top.cfg.u/blocker");
  EXPECT_EQ(RunProgram(kPublish, BuildArgs(2), &out), 1);
  EXPECT_NE(out.find("top.cfg.u"), std::string::npos) << out;
  for (const auto& [name, bytes] : before) {
    EXPECT_EQ(testing::ReadFileBytes(server + "/" + name), bytes) << name;
  }
}

TEST_F(TPublishFixture, SwitchingLayoutRemovesTheOldTransferFiles) {
  std::string out;
  ASSERT_EQ(RunProgram(kPublish, BuildArgs(1), &out), 0) << out;
  ASSERT_EQ(RunProgram(kPublish, BuildArgs(2, {"--folder-split"}), &out), 0) << out;
  EXPECT_FALSE(fs::exists(server + "/game/db/big.pak.u"));
  EXPECT_FALSE(fs::exists(server + "/game/db"));  // left empty, removed
  EXPECT_TRUE(fs::exists(server + "/game/db.u"));
  const testing::TServedTree t = ReadServedTree(server, "Launcher.exe");
  EXPECT_TRUE(t.errors.empty()) << ::testing::PrintToString(t.errors);
  EXPECT_EQ(t.files, files);
}

TEST_F(TPublishFixture, CommandLineErrorsAndHelp) {
  struct TCliCase {
    const char* label;
    std::vector<std::string> args;
    int code;
    const char* message;
  };
  const std::string missing = dir.File("nothing");
  fs::create_directories(dir.File("adir"));
  const TCliCase cases[] = {
      {"help", {"--help"}, 0, "vantrel-publish build --client DIR"},
      {"build help", {"build", "--help"}, 0, "--folder-split"},
      {"inspect help", {"inspect", "--help"}, 0, "as JSON"},
      {"no command", {}, 2, "a command is needed"},
      {"unknown command", {"serve"}, 2, "unknown command 'serve'"},
      {"missing client folder",
       {"build", "--client", missing, "--launcher", launcher, "--out", server, "--update-version",
        "1"},
       1,
       "Client folder not found"},
      {"missing launcher",
       {"build", "--client", client, "--launcher", missing, "--out", server, "--update-version",
        "1"},
       1,
       "Launcher file not found"},
      {"launcher is a folder",
       {"build", "--client", client, "--launcher", dir.File("adir"), "--out", server,
        "--update-version", "1"},
       1,
       "Launcher file not found"},
      {"update version 0", BuildArgs(0), 2, "positive integer"},
      {"update version negative",
       {"build", "--client", client, "--launcher", launcher, "--out", server, "--update-version",
        "-3"},
       2,
       "positive integer"},
      {"update version not a number",
       {"build", "--client", client, "--launcher", launcher, "--out", server, "--update-version",
        "12a"},
       2,
       "positive integer"},
      {"update version too large",
       {"build", "--client", client, "--launcher", launcher, "--out", server, "--update-version",
        "2147483648"},
       2,
       "positive integer"},
      {"update version missing",
       {"build", "--client", client, "--launcher", launcher, "--out", server},
       2,
       "--update-version is required"},
      {"bad layout", BuildArgs(1, {"--layout", "2"}), 2, "--layout must be 3, 4 or 5"},
      {"folder-split needs layout 5", BuildArgs(1, {"--layout", "4", "--folder-split"}), 1,
       "needs layout 5"},
      {"unsafe launcher folder", BuildArgs(1, {"--launcher-folder", "\\..\\"}), 1,
       "do not form a path"},
      {"inspect missing file", {"inspect", missing}, 1, "File not found"},
      {"inspect a file that is no version file", {"inspect", launcher}, 1, "not a version list"},
  };
  for (const TCliCase& c : cases) {
    SCOPED_TRACE(c.label);
    std::string out;
    EXPECT_EQ(RunProgram(kPublish, c.args, &out), c.code) << out;
    EXPECT_NE(out.find(c.message), std::string::npos) << out;
  }
  EXPECT_FALSE(fs::exists(server + "/client.version"));
}

TEST_F(TPublishFixture, RefusesClientsThatCannotBeServed) {
  struct TBadClient {
    const char* label;
    std::function<void(const std::string& dir)> make;
    const char* message;
    bool namesfolder = false;  // the message gives the file's path on disk
  };
  const TBadClient cases[] = {
      {"names equal once # is replaced",
       [](const std::string& d) {
         testing::WriteFileText(d + "/a#b", "1");
         testing::WriteFileText(d + "/a11223344556677889900b", "2");
       },
       "would have the same name"},
      {"backslash in a name",
       [](const std::string& d) { testing::WriteFileText(d + "/a\\b", "1"); }, "backslash"},
      {"device name", [](const std::string& d) { testing::WriteFileText(d + "/con.txt", "1"); },
       "cannot be published"},
      {"not a regular file",
       [](const std::string& d) { ASSERT_EQ(::mkfifo((d + "/pipe").c_str(), 0644), 0); },
       "Not a regular file"},
      {"names that differ only in letter case",
       [](const std::string& d) {
         fs::create_directories(d + "/bin32");
         testing::WriteFileText(d + "/bin32/A.dll", "1");
         testing::WriteFileText(d + "/bin32/a.dll", "2");
       },
       "differ only in letter case", true},
      {"pack name longer than 260 bytes",
       [](const std::string& d) {
         fs::create_directories(d + "/" + std::string(200, 'x'));
         testing::WriteFileText(d + "/" + std::string(200, 'x') + "/" + std::string(60, 'y'), "1");
       },
       "longer than 260 bytes; cannot be published: ", true},
      {"file larger than the pack holds",
       [](const std::string& d) {
         TFileStream big(d + "/huge.bin", TFileMode::Create);
         big.SetSize(kPackMaxFileSize + 1);  // sparse
       },
       "too large for the client's pack", true},
      {"the launcher's transfer file clashes with a client file",
       [](const std::string& d) { testing::WriteFileText(d + "/Launcher.exe", "x"); },
       "would have the same name"},
  };
  for (const TBadClient& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string bad = dir.File(std::string("bad-") + std::to_string(&c - cases));
    fs::create_directories(bad);
    c.make(bad);
    std::string out;
    EXPECT_EQ(RunProgram(kPublish,
                         {"build", "--client", bad, "--launcher", launcher, "--out",
                          dir.File("badsrv"), "--update-version", "1"},
                         &out),
              1);
    EXPECT_NE(out.find(c.message), std::string::npos) << out;
    if (c.namesfolder) {
      EXPECT_NE(out.find(bad), std::string::npos) << out;
    }
    EXPECT_FALSE(fs::exists(dir.File("badsrv/client.version")));
  }
  {
    // A name of exactly 260 bytes in the pack is published.
    const std::string ok = dir.File("ok-260");
    fs::create_directories(ok + "/" + std::string(200, 'x'));
    testing::WriteFileText(ok + "/" + std::string(200, 'x') + "/" + std::string(59, 'y'), "1");
    std::string out;
    EXPECT_EQ(RunProgram(kPublish,
                         {"build", "--client", ok, "--launcher", launcher, "--out",
                          dir.File("oksrv"), "--update-version", "1"},
                         &out),
              0)
        << out;
  }
  // The server folder must not sit inside the client folder.
  publish::TPublishOptions o;
  o.clientdir = client;
  o.launcherfile = launcher;
  o.outdir = client + "/srv";
  o.updateversion = 1;
  EXPECT_THROW(testing::PublishTree(o), EVantrelError);
}

TEST_F(TPublishFixture, InspectPrintsJson) {
  std::string out;
  ASSERT_EQ(RunProgram(kPublish, BuildArgs(12, {"--folder-split"}), &out), 0) << out;
  ASSERT_EQ(RunProgram(kPublish, {"inspect", server + "/client.version"}, &out), 0) << out;
  EXPECT_NE(out.find("\"updateversion\": 12"), std::string::npos) << out;
  EXPECT_NE(out.find("\"foldersplit\": true"), std::string::npos);
  EXPECT_NE(out.find("{\"key\": \"\\\\bin32\\\\lib#1.dll\", \"size\": "), std::string::npos) << out;
  EXPECT_NE(out.find("\"hash\": \"d41d8cd98f00b204e9800998ecf8427e\""), std::string::npos);
  EXPECT_NE(out.find("\"chunkcrc32\": ["), std::string::npos);
  EXPECT_NE(out.find("\"posinfile\": "), std::string::npos);
  ASSERT_EQ(RunProgram(kPublish, {"inspect", server + "/build.version"}, &out), 0) << out;
  EXPECT_NE(out.find("\"type\": \"build.version\""), std::string::npos) << out;
  EXPECT_NE(out.find("\"updateversion\": 12"), std::string::npos);
  ASSERT_EQ(RunProgram(kPublish, {"inspect", server + "/launcher.version"}, &out), 0) << out;
  EXPECT_NE(out.find("\"type\": \"launcher.version\""), std::string::npos) << out;
  ASSERT_EQ(RunProgram(kPublish, {"inspect", "--builder", server + "/builder.version"}, &out), 0);
  EXPECT_NE(out.find("\"buildersize\": 524288"), std::string::npos) << out;
}

#ifdef VANTREL_HAVE_CURL
// A real nginx on 127.0.0.1 serving a folder under /kestrune/, in one
// process of its own (no master, no daemon), stopped with the fixture.
class TNginx {
 public:
  TNginx(const std::string& prefix, const std::string& root) {
    fs::create_directories(prefix + "/logs");
    for (int attempt = 0; attempt < 5 && pid_ <= 0; ++attempt) {
      port_ = FreePort();
      testing::WriteFileText(prefix + "/nginx.conf",
                             "master_process off;\ndaemon off;\nerror_log " + prefix +
                                 "/logs/error.log;\npid " + prefix +
                                 "/nginx.pid;\nevents {}\nhttp {\n  access_log off;\n"
                                 "  client_body_temp_path " +
                                 prefix +
                                 "/tmp;\n"
                                 "  proxy_temp_path " +
                                 prefix +
                                 "/tmp;\n"
                                 "  server {\n    listen 127.0.0.1:" +
                                 std::to_string(port_) + ";\n    location /kestrune/ { alias " +
                                 root + "/; }\n  }\n}\n");
      const pid_t pid = fork();
      if (pid == 0) {
        execl("/usr/sbin/nginx", "nginx", "-q", "-p", prefix.c_str(), "-c",
              (prefix + "/nginx.conf").c_str(), static_cast<char*>(nullptr));
        _exit(127);
      }
      pid_ = pid;
      if (!WaitListening()) Stop();
    }
  }
  ~TNginx() { Stop(); }
  bool Running() const { return pid_ > 0; }
  std::string BaseUrl() const { return "http://127.0.0.1:" + std::to_string(port_) + "/kestrune/"; }

 private:
  static int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
  }
  bool WaitListening() {
    for (int i = 0; i < 500; ++i) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
      }
      const int fd = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(static_cast<uint16_t>(port_));
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      const bool up = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
      close(fd);
      if (up) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  pid_t pid_ = -1;
  int port_ = 0;
};

size_t CollectBody(char* data, size_t size, size_t count, void* user) {
  auto* out = static_cast<std::vector<uint8_t>*>(user);
  out->insert(out->end(), data, data + size * count);
  return size * count;
}

// A ranged GET with the download worker's headers, through libcurl.
testing::TRangeFetch HttpFetch(const std::string& base) {
  return
      [base](const std::string& urlpath, int64_t first, int64_t last, std::vector<uint8_t>& out) {
        out.clear();
        CURL* curl = curl_easy_init();
        if (curl == nullptr) return false;
        const std::string url = base + urlpath;
        const std::string range = "Range: bytes=" + std::to_string(first) + "-" +
                                  (last >= 0 ? std::to_string(last) : std::string());
        curl_slist* headers = nullptr;
        for (const std::string& h :
             {std::string("Cache-Control: no-cache"), std::string("Pragma: no-cache"),
              std::string("Connection: keep-alive"), range}) {
          headers = curl_slist_append(headers, h.c_str());
        }
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, CollectBody);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &out);
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 30000L);
        const CURLcode rc = curl_easy_perform(curl);
        long status = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        curl_slist_free_all(headers);
        curl_easy_cleanup(curl);
        return rc == CURLE_OK && status >= 200 && status <= 299;
      };
}

// The tree served by nginx, fetched with the worker's URLs (the base URL
// ends in "/", keys begin with "/": two slashes) and ranges.
TEST_F(TPublishFixture, TreeServedByNginxReadsBack) {
  ASSERT_TRUE(fs::exists("/usr/sbin/nginx"));
  for (const bool split : {false, true}) {
    SCOPED_TRACE(split ? "folder-split" : "per-file");
    fs::remove_all(server);
    std::vector<std::string> opts = {"--exclude", ".txt"};
    if (split) opts.push_back("--folder-split");
    std::string out;
    ASSERT_EQ(RunProgram(kPublish, BuildArgs(5, opts), &out), 0) << out;
    TNginx nginx(dir.File(split ? "nginx-split" : "nginx"), fs::absolute(server).string());
    ASSERT_TRUE(nginx.Running());
    const testing::TServedTree t = ReadServedTree(HttpFetch(nginx.BaseUrl()), "Launcher.exe");
    EXPECT_TRUE(t.errors.empty()) << ::testing::PrintToString(t.errors);
    EXPECT_EQ(t.updateversion, 5);
    EXPECT_EQ(t.files, files);
    EXPECT_EQ(t.launcher, testing::ReadFileBytes(launcher));
  }
}
#endif

TEST_F(TPublishFixture, InProcessPublishReportsEachTransferFile) {
  publish::TPublishOptions o;
  o.clientdir = client;
  o.launcherfile = launcher;
  o.outdir = server;
  o.updateversion = 4;
  o.foldersplit = true;
  std::vector<std::string> lines;
  o.progress = [&](const std::string& line) { lines.push_back(line); };
  const publish::TPublishResult r = testing::PublishTree(o);
  EXPECT_EQ(r.files, static_cast<int>(files.size()));
  EXPECT_EQ(r.written, 6);  // bin32, bin32/plugins/deep, game, game/db, the top, the launcher
  EXPECT_EQ(r.launcherpath, "Launcher.exe.u");
  EXPECT_EQ(static_cast<int>(lines.size()), r.written);
  EXPECT_NE(
      std::find(lines.begin(), lines.end(),
                "wrote .u (" + std::to_string(fs::file_size(server + "/.u")) + " bytes, 1 files)"),
      lines.end())
      << ::testing::PrintToString(lines);
  // The same publish again keeps everything.
  lines.clear();
  const publish::TPublishResult again = testing::PublishTree(o);
  EXPECT_EQ(again.written, 0);
  EXPECT_EQ(again.kept, 6);
  EXPECT_TRUE(lines.empty());
  EXPECT_TRUE(again.warnings.empty());
  // Changed files under the same update version: a warning.
  testing::WriteFileText(client + "/top.cfg", "changed=1234\n");  // another size
  const publish::TPublishResult same = testing::PublishTree(o);
  EXPECT_EQ(same.written, 1);
  ASSERT_EQ(same.warnings.size(), 1u);
  EXPECT_NE(same.warnings[0].find("will not update"), std::string::npos);
}

TEST(PublishPaths, TransferPathsFollowTheWorkerRules) {
  EXPECT_EQ(publish::TransferPathOfKey("\\bin32\\a#b.dll"), "bin32/a11223344556677889900b.dll.u");
  EXPECT_EQ(publish::TransferPathOfKey("\\a.dll"), "a.dll.u");
  EXPECT_EQ(publish::TransferPathOfFolder("\\bin32\\a.dll"), "bin32.u");
  EXPECT_EQ(publish::TransferPathOfFolder("\\bin32\\x#\\a.dll"), "bin32/x11223344556677889900.u");
  EXPECT_EQ(publish::TransferPathOfFolder("\\a.dll"), ".u");
}

}  // namespace
}  // namespace vantrel
