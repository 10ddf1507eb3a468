// Writes small valid version lists of every layout (and the three version
// records) as seed files: make_fuzz_corpus <update_list seeds> <record seeds>.
// Each update_list seed starts with the fuzz target's selector byte (digest
// recomputed; builder form for the -builder seeds).
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz_release_key.h"
#include "support/list_bytes.h"
#include "versions/release_record.h"
#include "versions/version_records.h"

using vantrel::testing::TRawEntry;
using vantrel::testing::TRawList;

namespace {

void Write(const std::string& path, uint8_t selector, const std::vector<uint8_t>& bytes) {
  std::ofstream f(path, std::ios::binary);
  if (selector != 0xFF) f.put(static_cast<char>(selector));
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

TRawEntry E(const std::string& name, int64_t size, int64_t pos = -1) {
  TRawEntry e;
  e.name = name;
  e.size = size;
  e.posinfile = pos;
  e.buildersize = size;
  e.builderdate = 46000.5;
  return e;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: make_fuzz_corpus <update_list folder> <records folder>\n");
    return 2;
  }
  const std::string out = argv[1];
  struct TSeed {
    const char* name;
    TRawList list;
  };
  std::vector<TSeed> seeds;
  for (int sv : {0, 1, 2, 3, 4, 5, 6}) {
    TRawList l;
    l.structversion = sv;
    l.updateversion = 10 + sv;
    l.fullunpakedsize = 1000;
    l.exclude = sv >= 3 ? ".txt;\"a;b\";" : "";
    l.entries = {E("\\bin32\\a.dll", 3), E(sv >= 3 ? "b.txt" : "\\bin32\\b.txt", 524288),
                 E("\\game.exe", 0)};
    seeds.push_back({nullptr, l});
  }
  {
    TRawList l;
    l.structversion = 1;
    l.rawheader = true;
    l.entries = {E("\\a.dll", 5), E("\\x\\b.dll", 6)};
    seeds.push_back({"raw1", l});
  }
  {
    TRawList l;
    l.structversion = 3;
    l.rawheader = true;
    l.entries = {E("\\a.dll", 5), E("b.dll", 6)};
    seeds.push_back({"raw3", l});
  }
  {
    TRawList l;
    l.structversion = 4;
    l.foldersplit = true;
    l.folders = {{"\\bin32", 11}, {"\\", 4}};
    l.entries = {E("\\bin32\\a.dll", 5), E("b.dll", 6), E("\\c.exe", 4)};
    seeds.push_back({"v4split", l});
  }
  {
    TRawList l;
    l.structversion = 5;
    l.foldersplit = true;
    l.entries = {E("\\bin32\\a.dll", 5, 0), E("b.dll", 6, 5), E("c.dll", 7, 11),
                 E("\\game.exe", 4, 0)};
    seeds.push_back({"v5split", l});
  }
  int n = 0;
  for (const TSeed& s : seeds) {
    const std::string base =
        out + "/" + (s.name ? s.name : "v" + std::to_string(s.list.structversion));
    Write(base + ".list", 2, vantrel::testing::BuildListFile(s.list));
    TRawList b = s.list;
    b.builder = true;
    Write(base + "-builder.list", 3, vantrel::testing::BuildListFile(b));
    n += 2;
  }
  vantrel::TLauncherVersionRecord lr;
  lr.launchersize = 123456;
  lr.launcherhash.fill(0x5A);
  Write(std::string(argv[2]) + "/launcher.version", 0xFF, lr.Serialize());
  vantrel::TBuildVersionRecord br;
  br.updateversion = 7;
  br.clientversiondownsize = 999;
  Write(std::string(argv[2]) + "/build.version", 0xFF, br.Serialize());
  // A release record naming the target's key, with a signature that does
  // not verify: inputs near it reach the signature check.
  vantrel::TReleaseRecord rr;
  rr.updateversion = 7;
  rr.signedat = 1700000000;
  rr.expiresat = 1700000000 + 30 * 86400;
  rr.clientversion.size = 999;
  rr.buildversion.size = 24;
  rr.launcherversion.size = 36;
  rr.launchertransfer.size = 123456;
  rr.keyid = vantrel::fuzz::FuzzReleaseKey().id;
  rr.signature.fill(0xA5);
  Write(std::string(argv[2]) + "/release.version", 0xFF, rr.Serialize());
  std::printf("%d list seeds, 3 record seeds\n", n);
  return 0;
}
