// Signed releases from the publisher's side to the launcher's check: the
// record's bytes, the key text and key list, every verdict of the check,
// and the publisher's keygen, build --sign-key and sign commands.
#include "publish/release_signing.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/errors.h"
#include "platform/stream.h"
#include "publish/publish.h"
#include "support/publish_tree.h"
#include "support/temp_dir.h"
#include "versions/release_check.h"
#include "versions/release_keys.h"
#include "versions/release_record.h"
#include "versions/update_utils.h"
#include "versions/version_records.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using publish::TReleaseSigningKey;
using testing::RunProgram;
using testing::TTempDir;

const std::string kPublish = VANTREL_PUBLISH_BIN;

TBytes Text(const std::string& s) { return TBytes(s.begin(), s.end()); }

TReleaseRecord SampleRecord(const TReleaseSigningKey& key, int32_t version = 7) {
  return publish::MakeReleaseRecord(version, Text("client list"), Text("build"), Text("launcher"),
                                    FingerprintOf(Text("transfer")), key, 1000, 500);
}

TEST(ReleaseRecord, LayoutRoundTrip) {
  const TReleaseSigningKey key = TReleaseSigningKey::Generate();
  const TReleaseRecord r = SampleRecord(key);
  const TBytes b = r.Serialize();
  ASSERT_EQ(b.size(), 284u);
  EXPECT_EQ(std::string(b.begin(), b.begin() + 8), "VRELREC1");
  EXPECT_EQ(TBytes(b.begin() + 8, b.begin() + 12), (TBytes{7, 0, 0, 0}));
  EXPECT_EQ(TBytes(b.begin() + 12, b.begin() + 20), (TBytes{0xE8, 3, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(TBytes(b.begin() + 20, b.begin() + 28), (TBytes{0xDC, 5, 0, 0, 0, 0, 0, 0}));
  // client.version: size, then SHA-256.
  EXPECT_EQ(TBytes(b.begin() + 28, b.begin() + 36), (TBytes{11, 0, 0, 0, 0, 0, 0, 0}));
  const TSha256 clientsha = GetBytesSHA256(Text("client list"));
  EXPECT_EQ(TBytes(b.begin() + 36, b.begin() + 68), TBytes(clientsha.begin(), clientsha.end()));
  // The launcher's transfer file is the fourth fingerprint.
  EXPECT_EQ(TBytes(b.begin() + 148, b.begin() + 156), (TBytes{8, 0, 0, 0, 0, 0, 0, 0}));
  const TSha256 id = key.PublicKey().id;
  EXPECT_EQ(TBytes(b.begin() + 188, b.begin() + 220), TBytes(id.begin(), id.end()));
  EXPECT_EQ(r.SignedPart(), TBytes(b.begin(), b.begin() + 220));
  // SHA-256 of "abc" (FIPS 180-4 example).
  EXPECT_EQ(KeyIdHex(GetBytesSHA256(Text("abc"))),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

  TReleaseRecord back;
  TMemoryStream m(b);
  ASSERT_TRUE(back.Parse(m));
  EXPECT_EQ(back.Serialize(), b);
  EXPECT_EQ(back.updateversion, 7);
  EXPECT_EQ(back.expiresat, 1500);
  EXPECT_EQ(back.launcherversion, FingerprintOf(Text("launcher")));
  EXPECT_FALSE(back.Parse(TBytes(b.begin(), b.end() - 1)));
  TBytes wrongmagic = b;
  wrongmagic[7] = '2';
  EXPECT_FALSE(back.Parse(wrongmagic));
}

TEST(ReleaseKeys, TextFormAndKeyList) {
  const TReleaseKey a = TReleaseSigningKey::Generate().PublicKey();
  const TReleaseKey b = TReleaseSigningKey::Generate().PublicKey();
  const std::string ta = ReleaseKeyText(a);
  EXPECT_EQ(ta.size(), 60u);
  EXPECT_EQ(ta.rfind("MCowBQYDK2VwAyEA", 0), 0u);
  TReleaseKey back;
  ASSERT_TRUE(ParseReleaseKeyText(ta, back));
  EXPECT_EQ(back.publickey, a.publickey);
  EXPECT_EQ(back.id, a.id);

  struct TBadKey {
    const char* label;
    std::string text;
  };
  const TBadKey bad[] = {
      {"empty", ""},
      {"not base64", "MCowBQYDK2VwAyEA!!!!"},
      {"cut short", ta.substr(0, 56)},
      {"no padding", ta.substr(0, 59)},
      {"an X25519 key", "MCowBQYDK2VuAyEAZt4GB3IJJHZQnJVRnz5WMtDErbVP9xdTpkOsjn0+Wkw="},
      {"trailing bytes", ta.substr(0, 59) + "AAAA"},
  };
  for (const TBadKey& c : bad) {
    SCOPED_TRACE(c.label);
    EXPECT_FALSE(ParseReleaseKeyText(c.text, back));
  }

  const TReleaseKeyList list =
      TReleaseKeyList::Parse("# release keys\r\n\r\n  " + ta + " current key\r\n" +
                             ReleaseKeyText(b) + "\r\n" + ta + "\n");
  EXPECT_EQ(list.Count(), 2u);  // the repeated key counts once
  ASSERT_NE(list.Find(a.id), nullptr);
  ASSERT_NE(list.Find(b.id), nullptr);
  EXPECT_EQ(list.Find(GetBytesSHA256(Text("nobody"))), nullptr);

  try {
    TReleaseKeyList::Parse(ta + "\n\nnot-a-key\n");
    FAIL() << "a bad line was taken";
  } catch (const EVantrelError& e) {
    EXPECT_NE(std::string(e.what()).find("line 3"), std::string::npos) << e.what();
  }
  EXPECT_THROW(TReleaseKeyList::Parse("# only a comment\n"), EVantrelError);
  EXPECT_THROW(TReleaseKeyList::Parse(""), EVantrelError);
}

// Every verdict of the launcher's check, one case each.
TEST(ReleaseCheck, EveryVerdict) {
  const TReleaseSigningKey key = TReleaseSigningKey::Generate();
  const TReleaseSigningKey other = TReleaseSigningKey::Generate();
  TReleaseKeyList keys;
  keys.Add(key.PublicKey());
  const TBytes good = SampleRecord(key, 7).Serialize();  // signed at 1000, expires at 1500
  auto flipped = [&](size_t at) {
    TBytes b = good;
    b[at] ^= 0x01;
    return b;
  };
  struct TCase {
    const char* label;
    TBytes bytes;
    int64_t now;
    int32_t accepted;
    TReleaseVerdict verdict;
  };
  const TCase cases[] = {
      {"trusted", good, 1200, 0, TReleaseVerdict::Trusted},
      {"trusted at the accepted version", good, 1200, 7, TReleaseVerdict::Trusted},
      {"trusted just before expiry", good, 1499, 7, TReleaseVerdict::Trusted},
      {"nothing fetched", {}, 1200, 0, TReleaseVerdict::Missing},
      {"one byte short", TBytes(good.begin(), good.end() - 1), 1200, 0, TReleaseVerdict::Malformed},
      {"another magic", flipped(0), 1200, 0, TReleaseVerdict::Malformed},
      {"signed by another key", SampleRecord(other).Serialize(), 1200, 0,
       TReleaseVerdict::UnknownKey},
      {"update version changed", flipped(8), 1200, 0, TReleaseVerdict::BadSignature},
      {"expiry moved", flipped(21), 1200, 0, TReleaseVerdict::BadSignature},
      {"client.version digest changed", flipped(40), 1200, 0, TReleaseVerdict::BadSignature},
      {"transfer size changed", flipped(148), 1200, 0, TReleaseVerdict::BadSignature},
      {"signature changed", flipped(250), 1200, 0, TReleaseVerdict::BadSignature},
      {"expired at its expiry", good, 1500, 0, TReleaseVerdict::Expired},
      {"expired long ago", good, 99999, 0, TReleaseVerdict::Expired},
      {"older than the accepted release", good, 1200, 8, TReleaseVerdict::Rollback},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.label);
    TReleaseRecord r;
    const TReleaseVerdict v = CheckReleaseRecord(c.bytes, keys, c.now, c.accepted, r);
    EXPECT_EQ(v, c.verdict);
    EXPECT_FALSE(DescribeReleaseVerdict(v, r, c.now, c.accepted).empty());
  }
  // A key list with the old and the new key trusts both (rotation).
  keys.Add(other.PublicKey());
  TReleaseRecord r;
  EXPECT_EQ(CheckReleaseRecord(SampleRecord(other).Serialize(), keys, 1200, 0, r),
            TReleaseVerdict::Trusted);
}

// The publisher's side: keygen, a signed build, re-signing, and the
// refusals that keep a signed tree consistent.
struct ReleaseSigningCli : ::testing::Test {
  TTempDir dir;
  std::string client = dir.File("client");
  std::string launcher = dir.File("Launcher.exe");
  std::string server = dir.File("srv");

  void SetUp() override {
    testing::WriteClientFolder(client, testing::SampleClientFiles());
    testing::WriteFileBytes(launcher, TBytes(200000, 0x5A));
  }

  int Run(const std::vector<std::string>& args, std::string* out = nullptr) {
    return RunProgram(kPublish, args, out);
  }
  std::vector<std::string> BuildArgs(int version, std::vector<std::string> extra = {}) {
    std::vector<std::string> a = {"build",      "--client",         client,
                                  "--launcher", launcher,           "--out",
                                  server,       "--update-version", std::to_string(version)};
    a.insert(a.end(), extra.begin(), extra.end());
    return a;
  }
  TReleaseRecord Record() {
    TReleaseRecord r;
    EXPECT_TRUE(r.Parse(testing::ReadFileBytes(server + "/release.version")));
    return r;
  }
  // The record's fingerprints against the tree's files.
  void ExpectRecordMatchesTree(const TReleaseRecord& r) {
    EXPECT_EQ(r.clientversion, FingerprintOfFile(server + "/client.version"));
    EXPECT_EQ(r.buildversion, FingerprintOfFile(server + "/build.version"));
    EXPECT_EQ(r.launcherversion, FingerprintOfFile(server + "/launcher.version"));
    EXPECT_EQ(r.launchertransfer, FingerprintOfFile(server + "/Launcher.exe.u"));
  }
};

TEST_F(ReleaseSigningCli, KeygenBuildSignAndRenew) {
  std::string out;
  ASSERT_EQ(Run({"keygen", "--out", dir.File("release")}, &out), 0) << out;
  struct stat st {};
  ASSERT_EQ(::stat(dir.File("release.key").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // The .pub line is what a launcher's key list takes.
  const TReleaseKeyList keys =
      TReleaseKeyList::Parse(testing::ReadFileText(dir.File("release.pub")));
  ASSERT_EQ(keys.Count(), 1u);
  // Never replaces a key.
  EXPECT_EQ(Run({"keygen", "--out", dir.File("release")}, &out), 1);
  EXPECT_EQ(keys.Find(TReleaseSigningKey::Load(dir.File("release.key")).PublicKey().id) != nullptr,
            true);

  ASSERT_EQ(Run(BuildArgs(4, {"--sign-key", dir.File("release.key"), "--valid-days", "2"}), &out),
            0)
      << out;
  TReleaseRecord r = Record();
  EXPECT_EQ(r.updateversion, 4);
  EXPECT_EQ(r.expiresat - r.signedat, 2 * 86400);
  ExpectRecordMatchesTree(r);
  TReleaseRecord checked;
  EXPECT_EQ(CheckReleaseRecord(testing::ReadFileBytes(server + "/release.version"), keys,
                               r.signedat, 4, checked),
            TReleaseVerdict::Trusted);
  ASSERT_EQ(Run({"inspect", server + "/release.version"}, &out), 0);
  EXPECT_NE(out.find("\"type\": \"release.version\""), std::string::npos) << out;

  // A rebuild of a signed tree must be signed too; nothing changes otherwise.
  const TBytes before = testing::ReadFileBytes(server + "/client.version");
  EXPECT_EQ(Run(BuildArgs(5), &out), 1);
  EXPECT_NE(out.find("--sign-key"), std::string::npos) << out;
  EXPECT_EQ(testing::ReadFileBytes(server + "/client.version"), before);

  // sign renews the expiry over the same files.
  ASSERT_EQ(
      Run({"sign", "--out", server, "--sign-key", dir.File("release.key"), "--valid-days", "30"},
          &out),
      0)
      << out;
  const TReleaseRecord renewed = Record();
  EXPECT_EQ(renewed.updateversion, 4);
  EXPECT_EQ(renewed.expiresat - renewed.signedat, 30 * 86400);
  EXPECT_GE(renewed.expiresat, r.expiresat);
  ExpectRecordMatchesTree(renewed);

  // Usage errors.
  EXPECT_EQ(Run({"sign", "--out", server}, &out), 2);
  EXPECT_EQ(
      Run({"sign", "--out", server, "--sign-key", dir.File("release.key"), "--valid-days", "0"},
          &out),
      2);
  EXPECT_EQ(Run(BuildArgs(5, {"--valid-days", "3"}), &out), 2);
}

TEST_F(ReleaseSigningCli, SignRefusesWhatDoesNotFormOneRelease) {
  ASSERT_EQ(Run({"keygen", "--out", dir.File("k")}), 0);
  ASSERT_EQ(Run(BuildArgs(3)), 0);
  const std::string key = dir.File("k.key");
  struct TCase {
    const char* label;
    std::function<void()> damage;
    std::vector<std::string> extra;
  };
  const TBytes clientv = testing::ReadFileBytes(server + "/client.version");
  const TBytes buildv = testing::ReadFileBytes(server + "/build.version");
  const TBytes launcherv = testing::ReadFileBytes(server + "/launcher.version");
  const TBytes transfer = testing::ReadFileBytes(server + "/Launcher.exe.u");
  auto restore = [&] {
    testing::WriteFileBytes(server + "/client.version", clientv);
    testing::WriteFileBytes(server + "/build.version", buildv);
    testing::WriteFileBytes(server + "/launcher.version", launcherv);
    testing::WriteFileBytes(server + "/Launcher.exe.u", transfer);
  };
  const TCase cases[] = {
      {"client.version of another size",
       [&] {
         TBytes b = clientv;
         b.push_back(0);
         testing::WriteFileBytes(server + "/client.version", b);
       },
       {}},
      {"build.version damaged",
       [&] {
         TBytes b = buildv;
         b[20] ^= 1;
         testing::WriteFileBytes(server + "/build.version", b);
       },
       {}},
      {"build.version of another release",
       [&] {
         TBuildVersionRecord b;
         b.updateversion = 9;
         b.clientversiondownsize = static_cast<int32_t>(clientv.size());
         testing::WriteFileBytes(server + "/build.version", b.Serialize());
       },
       {}},
      {"transfer file that unpacks to another launcher",
       [&] {
         TMemoryStream in(TBytes(200000, 0x5B)), out;
         ASSERT_TRUE(CompressStream(in, out));
         testing::WriteFileBytes(server + "/Launcher.exe.u", out.Bytes());
         TLauncherVersionRecord l;
         ASSERT_TRUE(l.Parse(launcherv));
         l.launchersize = static_cast<int32_t>(out.Size());
         testing::WriteFileBytes(server + "/launcher.version", l.Serialize());
       },
       {}},
      {"launcher named otherwise", [] {}, {"--launcher-name", "Other.exe"}},
      {"launcher.version missing", [&] { fs::remove(server + "/launcher.version"); }, {}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.label);
    restore();
    c.damage();
    std::vector<std::string> args = {"sign", "--out", server, "--sign-key", key};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    std::string out;
    EXPECT_EQ(Run(args, &out), 1) << out;
    EXPECT_FALSE(fs::exists(server + "/release.version"));
  }
  restore();
  std::string out;
  ASSERT_EQ(Run({"sign", "--out", server, "--sign-key", key}, &out), 0) << out;
  ExpectRecordMatchesTree(Record());

  // A key others can read is refused.
  ASSERT_EQ(::chmod(key.c_str(), 0640), 0);
  EXPECT_EQ(Run({"sign", "--out", server, "--sign-key", key}, &out), 1);
  EXPECT_NE(out.find("owner"), std::string::npos) << out;
}

}  // namespace
}  // namespace vantrel
