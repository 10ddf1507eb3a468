// Version list micro-benchmark (Google Benchmark): loading a list of
// 100,000 entries from memory (digest check, inflate, parse) in each layout
// the reader knows. The entries look like a large client's: 1,000 folders
// of 100 files, most of one or two chunks, one in ten of several MiB, random
// digests and check values (so the body compresses as a real one does).
//
//   list_bench [--entries N] [Google Benchmark flags, e.g. --benchmark_repetitions=3]
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "platform/stream.h"
#include "support/list_bytes.h"
#include "versions/update_list.h"

namespace {

using vantrel::TMemoryStream;
using vantrel::TUpdateList;
using vantrel::testing::TRawEntry;
using vantrel::testing::TRawList;

int g_entries = 100000;
// Set when a load failed or lost entries: the run then ends with 1.
bool g_failed = false;

struct TLayout {
  const char* name;
  int structversion;
  bool foldersplit;
  bool rawheader;
};

constexpr TLayout kLayouts[] = {
    {"1_raw_header", 1, false, true}, {"2", 2, false, false},
    {"3", 3, false, false},           {"4", 4, false, false},
    {"4_folder_split", 4, true, false}, {"5", 5, false, false},
    {"5_folder_split", 5, true, false},
};

int64_t ChunkCount(int64_t size) { return size / 524288 + 1; }

std::vector<uint8_t> ListFile(const TLayout& layout, int entries) {
  TRawList list;
  list.structversion = layout.structversion;
  list.rawheader = layout.rawheader;
  list.foldersplit = layout.foldersplit;
  list.updateversion = 7;
  list.compressall = true;
  list.exclude = ".bin;.ogg";
  std::mt19937 random(99);
  const int perfolder = 100;
  int64_t posinfile = 0;
  std::string folder;
  for (int i = 0; i < entries; ++i) {
    if (i % perfolder == 0) {
      folder = "\\data\\area" + std::to_string(i / perfolder);
      posinfile = 0;
      if (layout.structversion == 4 && layout.foldersplit) {
        list.folders.push_back({folder.substr(1), 64 << 20});
      }
    }
    TRawEntry e;
    const std::string file = "object_" + std::to_string(i) + (i % 7 == 0 ? ".bin" : ".dat");
    // From layout 3 on, later files of a folder carry their bare name.
    e.name = layout.structversion >= 3 && i % perfolder != 0 ? file : folder + "\\" + file;
    e.size = i % 10 == 0 ? static_cast<int64_t>(random() % (8u << 20))
                         : static_cast<int64_t>(random() % (900u << 10));
    for (auto& b : e.hash) b = static_cast<uint8_t>(random());
    e.compressed = i % 7 != 0;
    e.crcbytes.resize(static_cast<size_t>(ChunkCount(e.size)) * 4);
    for (auto& b : e.crcbytes) b = static_cast<uint8_t>(random());
    e.posinfile = posinfile;
    posinfile += e.size;
    list.entries.push_back(std::move(e));
  }
  return vantrel::testing::BuildListFile(list);
}

void LoadList(benchmark::State& state, const TLayout& layout) {
  const std::vector<uint8_t> bytes = ListFile(layout, g_entries);
  TMemoryStream stream(bytes);
  size_t loaded = 0;
  for (auto _ : state) {
    state.PauseTiming();
    stream.SetPosition(0);
    auto list = std::make_unique<TUpdateList>();
    state.ResumeTiming();
    if (!list->LoadFromStream(stream)) {
      g_failed = true;
      state.SkipWithError("the list does not load");
      break;
    }
    loaded = list->filelist.size();
    benchmark::DoNotOptimize(loaded);
    // Releasing the list is not part of loading it.
    state.PauseTiming();
    list.reset();
    state.ResumeTiming();
  }
  if (loaded != static_cast<size_t>(g_entries)) {
    g_failed = true;
    state.SkipWithError("entries missing");
  }
  state.counters["entries"] = static_cast<double>(loaded);
  state.counters["file_KiB"] = static_cast<double>(bytes.size()) / 1024.0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--entries") == 0 && i + 1 < argc) {
      g_entries = std::atoi(argv[++i]);
    } else {
      rest.push_back(argv[i]);
    }
  }
  if (g_entries < 1) {
    std::fprintf(stderr, "list_bench: --entries must be at least 1\n");
    return 2;
  }
  std::printf("list_bench: %s; %d entries per list\n", vantrel::bench::LoadAverageText().c_str(),
              g_entries);
  for (const TLayout& layout : kLayouts) {
    benchmark::RegisterBenchmark((std::string("LoadList/layout_") + layout.name).c_str(),
                                 [&layout](benchmark::State& state) { LoadList(state, layout); })
        ->Unit(benchmark::kMillisecond);
  }
  int n = static_cast<int>(rest.size());
  benchmark::Initialize(&n, rest.data());
  if (benchmark::ReportUnrecognizedArguments(n, rest.data())) return 2;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::printf("list_bench: %s\n", vantrel::bench::LoadAverageText().c_str());
  return g_failed ? 1 : 0;
}
