// Signed releases end to end: a launcher built with release keys and its
// own certificate authority, run headless against nginx serving trees the
// publisher signed. Every attack of the threat model in one table, each
// ending with the version check's or the update's error outcome and nothing
// written to the game folder; then the good paths (install and update,
// self-update, a rotated key, a launcher without keys, HTTPS).
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <functional>
#include <random>
#include <sstream>

#include "pack/pack_dir_record.h"
#include "platform/stream.h"
#include "publish/release_signing.h"
#include "support/nginx_fixture.h"
#include "support/publish_tree.h"
#include "support/temp_dir.h"
#include "versions/release_record.h"
#include "versions/update_list.h"
#include "versions/update_utils.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using testing::TClientFiles;
using testing::TNginxServer;
using testing::TServerMode;
using testing::TServerOptions;
using testing::TTempDir;

constexpr int64_t kDay = 86400;
const std::string kSigned = VANTREL_SIGNED_LAUNCHER;
const std::string kUnkeyed = VANTREL_E2E_LAUNCHER;

std::vector<int> Ports() {
  std::vector<int> ports;
  std::stringstream in(VANTREL_E2E_PORTS);
  for (std::string p; std::getline(in, p, ',');) ports.push_back(std::stoi(p));
  return ports;
}

std::string Pki(const std::string& name) { return std::string(VANTREL_TEST_PKI) + "/" + name; }

TBytes RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  TBytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

TBytes Text(const std::string& s) { return TBytes(s.begin(), s.end()); }

// A small client; world.dat (three chunks) changes with every release and
// travels uncompressed (".dat" is excluded), so its chunks can be forged.
TClientFiles Client(int release) {
  TClientFiles f;
  f["bin32/Myrefall.exe"] = RandomBytes(60000, 1);
  f["bin32/core.dll"] = RandomBytes(30000, 2);
  f["game/data/world.dat"] = RandomBytes(1100000, static_cast<uint32_t>(10 + release));
  f["readme.txt"] = Text("Myrefall");
  return f;
}

// Replaces the last four bytes of data[first, first + n) so that the range
// keeps the CRC-32 it had before the bytes in front of them changed: CRC-32
// is affine in those bits, so the four bytes follow from 32 equations.
void RestoreCrc(TBytes& data, size_t first, size_t n, uint32_t wanted) {
  const size_t at = first + n - 4;
  auto crcwith = [&](uint32_t x) {
    for (int i = 0; i < 4; ++i) data[at + i] = static_cast<uint8_t>(x >> (8 * i));
    return CRC32Value(data.data() + first, n);
  };
  const uint32_t base = crcwith(0);
  // Column i: what flipping bit i of x does to the CRC.
  std::array<uint32_t, 32> cols{};
  for (int i = 0; i < 32; ++i) cols[i] = crcwith(1u << i) ^ base;
  // Solve cols * x = wanted ^ base over GF(2) by elimination.
  std::array<uint32_t, 32> rowsofx{};  // which x bits make up each pivot column
  for (int i = 0; i < 32; ++i) rowsofx[i] = 1u << i;
  uint32_t target = wanted ^ base;
  uint32_t x = 0;
  for (int bit = 0; bit < 32; ++bit) {
    int pivot = -1;
    for (int i = bit; i < 32; ++i) {
      if ((cols[i] >> bit) & 1u) {
        pivot = i;
        break;
      }
    }
    ASSERT_GE(pivot, 0) << "CRC-32 is invertible in four bytes";
    std::swap(cols[bit], cols[pivot]);
    std::swap(rowsofx[bit], rowsofx[pivot]);
    for (int i = 0; i < 32; ++i) {
      if (i != bit && ((cols[i] >> bit) & 1u)) {
        cols[i] ^= cols[bit];
        rowsofx[i] ^= rowsofx[bit];
      }
    }
  }
  for (int bit = 0; bit < 32; ++bit) {
    if ((target >> bit) & 1u) x ^= rowsofx[bit];
  }
  ASSERT_EQ(crcwith(x), wanted);
}

// How a test publishes a release.
struct TSigning {
  std::string key = "current";  // empty: unsigned
  int64_t signedat = 0;         // 0: now
  int64_t validseconds = 30 * kDay;
};

struct TRun {
  int code = -1;
  std::string output;
};

class SignedReleaseE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    ports_ = Ports();
    ASSERT_EQ(ports_.size(), 4u);
    fs::create_directories(Tree());
  }

  std::string Tree() const { return root_.File("srv/kestrune"); }

  // Publishes files as release version over the served tree.
  void Publish(const TClientFiles& files, int32_t version, const TSigning& signing = {},
               const std::string& launcherfile = kSigned, const std::string& out = "") {
    const std::string client = root_.File("client");
    fs::remove_all(client);
    testing::WriteClientFolder(client, files);
    publish::TPublishOptions o;
    o.clientdir = client;
    o.launcherfile = launcherfile;
    o.launchername = "Launcher.exe";
    o.outdir = out.empty() ? Tree() : out;
    o.updateversion = version;
    o.exclude = ".dat";
    if (!signing.key.empty()) o.signkeyfile = Pki(signing.key + ".key");
    o.signedat = signing.signedat;
    o.validseconds = signing.validseconds;
    testing::PublishTree(o);
  }

  // Signs the served tree again.
  void Sign(const std::string& key, int64_t signedat = 0, int64_t validseconds = 30 * kDay) {
    publish::TSignOptions o;
    o.outdir = Tree();
    o.signkeyfile = Pki(key + ".key");
    o.signedat = signedat;
    o.validseconds = validseconds;
    publish::SignRelease(o);
  }

  void SaveTree(const std::string& name) {
    const std::string to = root_.File("trees/" + name);
    fs::remove_all(to);
    fs::create_directories(to);
    fs::copy(Tree(), to, fs::copy_options::recursive);
  }
  void RestoreTree(const std::string& name) {
    fs::remove_all(Tree());
    fs::create_directories(Tree());
    fs::copy(root_.File("trees/" + name), Tree(), fs::copy_options::recursive);
  }

  // Two plain-HTTP mirrors of the tree on the first two ports; the HTTPS
  // ports stay dead.
  void ServeHttp(bool ignoreranges = false) {
    servers_.clear();
    for (int i = 0; i < 2; ++i) {
      TServerOptions o;
      o.port = ports_[i];
      o.ignoreranges = ignoreranges;
      servers_.push_back(std::make_unique<TNginxServer>(TServerMode::Good, root_.File("srv"), o));
    }
  }
  // One HTTPS mirror with the named certificate on the third port.
  void ServeHttps(const std::string& cert) {
    servers_.clear();
    TServerOptions o;
    o.port = ports_[2];
    o.tlscertificate = Pki(cert + ".pem");
    o.tlskey = Pki(cert + ".key");
    servers_.push_back(std::make_unique<TNginxServer>(TServerMode::Good, root_.File("srv"), o));
  }

  // A new game folder holding only the launcher binary as Launcher.exe.
  std::string NewGame(const std::string& launcher = kSigned) {
    const std::string game = root_.File("game" + std::to_string(++games_));
    fs::create_directories(game);
    fs::copy_file(launcher, game + "/Launcher.exe");
    ::chmod((game + "/Launcher.exe").c_str(), 0755);
    return game;
  }
  std::string CopyGame(const std::string& from) {
    const std::string game = root_.File("game" + std::to_string(++games_));
    fs::copy(from, game, fs::copy_options::recursive);
    return game;
  }

  TRun Launch(const std::string& game, const std::vector<std::string>& args) {
    TRun r;
    r.code = testing::RunProgram(game + "/Launcher.exe", args, &r.output);
    return r;
  }
  TRun Check(const std::string& game) { return Launch(game, {"--headless", "-debug", "check"}); }

  // Every file of a game folder but the log and the download folder, by
  // path, with the SHA-256 of its bytes. The pack counts by what it holds: its data area
  // byte for byte and each file's name and digest recomputed from its bytes
  // (a save rewrites the directory at its end with a new save id and
  // filler even when nothing changed, and its sidecar with it).
  static std::map<std::string, TBytes> Snapshot(const std::string& game) {
    std::map<std::string, TBytes> files;
    for (const auto& e : fs::recursive_directory_iterator(game)) {
      if (!e.is_regular_file()) continue;
      const std::string rel = fs::relative(e.path(), game).generic_string();
      if (rel == "Launcher.log" || rel.rfind("tmp/", 0) == 0 || rel == "game_pak.dir") continue;
      TBytes bytes;
      if (rel != "game_pak") {
        const TFileFingerprint f = FingerprintOfFile(e.path().string());
        bytes.assign(f.sha256.begin(), f.sha256.end());
      } else {
        bytes = testing::ReadFileBytes(e.path().string());
        TPackDirRecord pack;
        EXPECT_TRUE(pack.MountReadOnly(e.path().string()));
        bytes.resize(static_cast<size_t>(std::min<int64_t>(pack.endofdata, bytes.size())));
        for (const std::string& name : pack.GetFileList()) {
          const TBytes digest = pack.ComputeFileDigest(name);
          bytes.insert(bytes.end(), name.begin(), name.end());
          bytes.insert(bytes.end(), digest.begin(), digest.end());
        }
        pack.Dismount();
      }
      files[rel] = std::move(bytes);
    }
    return files;
  }

  // Paths added, removed or changed between two snapshots.
  static std::vector<std::string> ChangedFiles(const std::map<std::string, TBytes>& before,
                                               const std::map<std::string, TBytes>& after) {
    std::vector<std::string> changed;
    for (const auto& [path, bytes] : before) {
      const auto it = after.find(path);
      if (it == after.end() || it->second != bytes) changed.push_back(path);
    }
    for (const auto& [path, bytes] : after) {
      if (!before.contains(path)) changed.push_back(path);
    }
    return changed;
  }

  void ExpectClientIs(const std::string& game, const TClientFiles& files, int32_t version) {
    TUpdateList installed;
    ASSERT_TRUE(installed.LoadFromFile(game + "\\client.version"));
    EXPECT_EQ(installed.updateversion, version);
    TPackDirRecord pack;
    ASSERT_TRUE(pack.MountReadOnly(game + "\\game_pak"));
    EXPECT_EQ(pack.GetFileList().size(), files.size());
    for (const auto& [rel, bytes] : files) {
      SCOPED_TRACE(rel);
      TMemoryStream m(bytes);
      EXPECT_EQ(pack.ComputeFileDigest(rel), GetStreamMD5(m));
    }
    pack.Dismount();
    EXPECT_EQ(testing::ReadFileText(game + "/release.accepted"), std::to_string(version) + "\n");
  }

  std::vector<std::string> RequestedUris() {
    std::vector<std::string> uris;
    for (auto& s : servers_) {
      for (const auto& r : s->Requests()) uris.push_back(r.uri);
    }
    return uris;
  }

  static std::string Log(const std::string& game) {
    return testing::ReadFileText(game + "/Launcher.log");
  }

  void RunAttacks(const std::string& command);

  std::vector<int> ports_;
  TTempDir root_;
  int games_ = 0;
  std::vector<std::unique_ptr<TNginxServer>> servers_;
};

// Where an attack is caught: the record or a version file (the version
// check's outcome, also in a repair) or a file fetched by the workflow.
enum class TCaught { Record, Files };

struct TAttack {
  const char* label;
  std::function<void(const std::string& game)> attack;  // on the served release 2
  TCaught caught;
  const char* logline;  // the check that failed
  bool ignoreranges = false;
  bool checkonly = false;  // the self-update: the check's path alone
};

// The attacks of the threat model, each on a game folder with release 1
// installed and a tree that serves release 2. Runs each with the headless
// command (check or repair) and expects that workflow's error outcome, the
// log line that names the failed check, and no file of the game folder
// changed.
void SignedReleaseE2E::RunAttacks(const std::string& command) {
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  Publish(Client(1), 1);
  SaveTree("release1");
  const std::string base = NewGame();
  ServeHttp();
  ASSERT_EQ(Check(base).code, 0);

  // Release 2, and the trees the attacks take their parts from.
  Publish(Client(2), 2);
  SaveTree("release2");
  // The same release with a new launcher (the self-update's path).
  TBytes newer = testing::ReadFileBytes(kSigned);
  const TBytes tail = Text("-- build 2 --");
  newer.insert(newer.end(), tail.begin(), tail.end());
  testing::WriteFileBytes(root_.File("Launcher-new"), newer);
  RestoreTree("release1");
  Publish(Client(2), 2, {}, root_.File("Launcher-new"));
  SaveTree("release2-newlauncher");
  // The same files published once more as release 3: a version list of the
  // same length as release 2's.
  RestoreTree("release2");
  Publish(Client(2), 3);
  SaveTree("release3");
  // An attacker's release 2, unsigned, with its own core.dll and one more
  // program: its build.version announces its own, longer list.
  TClientFiles evil = Client(2);
  evil["bin32/core.dll"] = RandomBytes(30000, 666);
  evil["bin32/evil.dll"] = RandomBytes(5000, 667);
  // Built over a copy of release 2's tree, whose launcher transfer file it keeps.
  fs::create_directories(root_.File("evil/kestrune"));
  fs::copy(root_.File("trees/release2"), root_.File("evil/kestrune"), fs::copy_options::recursive);
  fs::remove(root_.File("evil/kestrune/release.version"));
  Publish(evil, 2, {.key = ""}, kSigned, root_.File("evil/kestrune"));

  const TAttack attacks[] = {
      {"tampered launcher transfer file",
       [&](const std::string&) {
         RestoreTree("release2-newlauncher");
         TBytes t = testing::ReadFileBytes(Tree() + "/Launcher.exe.u");
         t[t.size() / 2] ^= 0x20;
         testing::WriteFileBytes(Tree() + "/Launcher.exe.u", t);
       },
       TCaught::Record, "Launcher transfer file does not match the release record", false, true},
      {"tampered client.version with a matching build.version",
       [&](const std::string&) {
         fs::copy(root_.File("evil/kestrune"), Tree(),
                  fs::copy_options::recursive | fs::copy_options::overwrite_existing);
       },
       TCaught::Record, "build.version does not match the release record"},
      {"record signed by an unknown key", [&](const std::string&) { Sign("stranger"); },
       TCaught::Record, "Release record signed by an unknown key"},
      {"missing record", [&](const std::string&) { fs::remove(Tree() + "/release.version"); },
       TCaught::Record, "Release record missing"},
      {"expired record", [&](const std::string&) { Sign("current", now - 31 * kDay, 30 * kDay); },
       TCaught::Record, "Release record expired"},
      {"replayed older signed release",
       [&](const std::string& game) {
         // The client accepted release 2 first.
         ServeHttp();
         ASSERT_EQ(Check(game).code, 0);
         RestoreTree("release1");
       },
       TCaught::Record, "Release record older than the accepted release"},
      {"client.version of one release with the record of another",
       [&](const std::string&) {
         const TBytes three = testing::ReadFileBytes(root_.File("trees/release3/client.version"));
         ASSERT_EQ(three.size(), fs::file_size(Tree() + "/client.version"));
         testing::WriteFileBytes(Tree() + "/client.version", three);
       },
       TCaught::Files, "client.version does not match the release record"},
      {"mirror serving forged chunks that pass their check values",
       [&](const std::string&) {
         const std::string path = Tree() + "/game/data/world.dat.u";
         TBytes t = testing::ReadFileBytes(path);
         const size_t chunk = static_cast<size_t>(GetChunkSize(static_cast<int64_t>(t.size())));
         const uint32_t crc = CRC32Value(t.data(), chunk);
         for (size_t i = 1000; i < 1100; ++i) t[i] = 0xEE;
         RestoreCrc(t, 0, chunk, crc);
         testing::WriteFileBytes(path, t);
       },
       TCaught::Files, "fails its check after 3 downloads"},
      {"server sending endless data for the record",
       [&](const std::string&) { fs::resize_file(Tree() + "/release.version", int64_t{64} << 30); },
       TCaught::Record, "Release record missing", true},
      {"server sending endless data for a transfer file",
       [&](const std::string&) {
         fs::resize_file(Tree() + "/game/data/world.dat.u", int64_t{64} << 30);
       },
       TCaught::Files, "Failed to download files", true},
  };
  const char* const fileoutcome =
      command == "repair" ? "The repair process failed." : "The update process failed.";
  for (const TAttack& a : attacks) {
    if (a.checkonly && command != "check") continue;
    SCOPED_TRACE(a.label);
    const std::string game = CopyGame(base);
    RestoreTree("release2");
    a.attack(game);
    if (::testing::Test::HasFatalFailure()) return;
    ServeHttp(a.ignoreranges);
    const auto before = Snapshot(game);
    const TRun run = Launch(game, {"--headless", "-debug", command});
    EXPECT_EQ(run.code, 1) << run.output;
    const char* outcome = a.caught == TCaught::Record ? "Version check error!" : fileoutcome;
    EXPECT_NE(run.output.find(outcome), std::string::npos) << run.output;
    EXPECT_NE(Log(game).find(a.logline), std::string::npos) << Log(game);
    EXPECT_EQ(ChangedFiles(before, Snapshot(game)), std::vector<std::string>{});
    EXPECT_FALSE(fs::exists(game + "/Launcher.exe.new"));
  }
  // The endless answers were cut off, not held: the launchers stayed far
  // below the size of what the servers offered.
  rusage usage{};
  ASSERT_EQ(::getrusage(RUSAGE_CHILDREN, &usage), 0);
  EXPECT_LT(usage.ru_maxrss, 1024 * 1024) << "peak resident KiB of a child";
}

TEST_F(SignedReleaseE2E, EveryAttackOnTheCheckEndsWithItsErrorAndNothingWritten) {
  RunAttacks("check");
}

// The repair fetches and checks the record itself (the Repair button after
// a failed check must not bypass it).
TEST_F(SignedReleaseE2E, EveryAttackOnTheRepairEndsWithItsErrorAndNothingWritten) {
  RunAttacks("repair");
}

TEST_F(SignedReleaseE2E, SignedReleasesInstallUpdateAndReplaceTheLauncher) {
  Publish(Client(1), 1);
  const std::string game = NewGame();
  ServeHttp();
  const TRun first = Check(game);
  ASSERT_EQ(first.code, 0) << first.output;
  ExpectClientIs(game, Client(1), 1);
  EXPECT_NE(Log(game).find("Release record 1 trusted"), std::string::npos) << Log(game);

  Publish(Client(2), 2);
  ServeHttp();
  const TRun update = Check(game);
  ASSERT_EQ(update.code, 0) << update.output;
  ExpectClientIs(game, Client(2), 2);

  // A new launcher, signed: the launcher replaces itself and goes on.
  TBytes newer = testing::ReadFileBytes(kSigned);
  const TBytes tail = Text("-- build 3 --");
  newer.insert(newer.end(), tail.begin(), tail.end());
  testing::WriteFileBytes(root_.File("Launcher-new"), newer);
  Publish(Client(3), 3, {}, root_.File("Launcher-new"));
  ServeHttp();
  const TRun replaced = Check(game);
  ASSERT_EQ(replaced.code, 0) << replaced.output;
  EXPECT_EQ(testing::ReadFileBytes(game + "/Launcher.exe"), newer);
  ExpectClientIs(game, Client(3), 3);

  // A record renewed with "sign" is taken at the same release.
  Sign("current");
  ServeHttp();
  ASSERT_EQ(Check(game).code, 0);
}

// The floor is stored before the release it protects is called installed:
// an installed release above a floor that could not be stored would be
// rolled back by any older signed release a mirror still serves.
TEST_F(SignedReleaseE2E, AnUpdateWhoseFloorCannotBeStoredFailsAndKeepsTheOldRelease) {
  Publish(Client(1), 1);
  const std::string game = NewGame();
  ServeHttp();
  ASSERT_EQ(Check(game).code, 0);
  // Something in the way of the floor file: no new floor can be written.
  fs::remove(game + "/release.accepted");
  fs::create_directories(game + "/release.accepted/held");
  Publish(Client(2), 2);
  ServeHttp();
  const TRun run = Check(game);
  EXPECT_EQ(run.code, 1) << run.output;
  EXPECT_NE(run.output.find("The update process failed."), std::string::npos) << run.output;
  EXPECT_NE(Log(game).find("Unable to store accepted release"), std::string::npos) << Log(game);
  TUpdateList installed;
  ASSERT_TRUE(installed.LoadFromFile(game + "\\client.version"));
  EXPECT_EQ(installed.updateversion, 1);
}

TEST_F(SignedReleaseE2E, AKeyRotatedInThroughTheKeyListIsTrusted) {
  Publish(Client(1), 1, {.key = "current"});
  const std::string game = NewGame();
  ServeHttp();
  ASSERT_EQ(Check(game).code, 0);
  // The launcher carries both keys; the next release is signed with the new one.
  Publish(Client(2), 2, {.key = "next"});
  ServeHttp();
  const TRun run = Check(game);
  ASSERT_EQ(run.code, 0) << run.output;
  ExpectClientIs(game, Client(2), 2);
}

TEST_F(SignedReleaseE2E, ALauncherWithoutKeysIgnoresTheRecord) {
  // A record no key list would take: signed by a stranger, long expired.
  Publish(Client(1), 1, {.key = "stranger", .signedat = 1000, .validseconds = kDay}, kUnkeyed);
  const std::string game = NewGame(kUnkeyed);
  ServeHttp();
  const TRun run = Check(game);
  ASSERT_EQ(run.code, 0) << run.output;
  for (const std::string& uri : RequestedUris())
    EXPECT_EQ(uri.find("release"), std::string::npos) << uri;
  EXPECT_FALSE(fs::exists(game + "/release.accepted"));
  TUpdateList installed;
  ASSERT_TRUE(installed.LoadFromFile(game + "\\client.version"));
  EXPECT_EQ(installed.updateversion, 1);
}

TEST_F(SignedReleaseE2E, HttpsWithTheDeploymentsAuthority) {
  Publish(Client(1), 1);
  // A certificate from another authority: the server is dropped, the check
  // ends with its error and says why, and nothing is written.
  const std::string refused = NewGame();
  ServeHttps("wrong");
  const TRun wrong = Check(refused);
  EXPECT_EQ(wrong.code, 1) << wrong.output;
  EXPECT_NE(wrong.output.find("Version check error!"), std::string::npos) << wrong.output;
  EXPECT_NE(Log(refused).find("dropped by the probe: SSL"), std::string::npos) << Log(refused);
  EXPECT_EQ(Snapshot(refused).size(), 1u);  // the launcher alone

  const std::string game = NewGame();
  ServeHttps("server");
  const TRun run = Check(game);
  ASSERT_EQ(run.code, 0) << run.output;
  ExpectClientIs(game, Client(1), 1);
}

}  // namespace
}  // namespace vantrel
