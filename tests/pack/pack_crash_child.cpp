// The working half of the crash test: adds, replaces and removes files in a
// pack and saves it now and then, forever, until the test kills it. Before
// each step it appends a line to a journal so the test knows what was under
// way when it died.
//
//   pack_crash_child PACK JOURNAL SEED
//   pack_crash_child PACK JOURNAL SEED park
//
// With "park" it instead appends one file larger than the data area (so it
// lands at the end, over the directory), notes "parked" and waits to be
// killed: a crash that certainly leaves the directory overwritten.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>

#include "pack/pack_dir_record.h"
#include "pack_test_util.h"

namespace {

int journal = -1;

void Note(const std::string& line) {
  const std::string text = line + "\n";
  if (::write(journal, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    std::perror("journal");
    std::_Exit(3);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const bool park = argc == 5 && std::string(argv[4]) == "park";
  if (argc != 4 && !park) {
    std::fprintf(stderr, "usage: pack_crash_child PACK JOURNAL SEED [park]\n");
    return 2;
  }
  journal = ::open(argv[2], O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (journal < 0) {
    std::perror(argv[2]);
    return 2;
  }
  std::mt19937_64 rng(std::stoull(argv[3]));
  vantrel::TPackDirRecord& dir = vantrel::GetPackDir();
  try {
    dir.Mount(argv[1]);
    if (park) {
      const size_t size = static_cast<size_t>(std::max<int64_t>(dir.endofdata + 1, 1000));
      vantrel::TMemoryStream s(vantrel::testing::PatternBytes(size, 7));
      if (!dir.AddReplaceFile("park/file", s)) return 4;
      Note("parked");
      for (;;) ::pause();
    }
    for (;;) {
      const unsigned pick = static_cast<unsigned>(rng() % 100);
      if (pick < 70) {
        const std::string name = "c/" + std::to_string(rng() % 40);
        const uint64_t version = rng();
        Note("add " + name + " " + std::to_string(version));
        vantrel::TMemoryStream s(vantrel::testing::CrashContent(version));
        if (!dir.AddReplaceFile(name, s)) return 4;
      } else if (pick < 85) {
        const std::string name = "c/" + std::to_string(rng() % 40);
        Note("del " + name);
        dir.RemoveFile(name);
      } else if (pick < 97) {
        Note("save");
        dir.Save();
        Note("saved");
      } else {
        Note("save");
        dir.Dismount();
        Note("saved");
        dir.Mount(argv[1]);
      }
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "pack_crash_child: %s\n", e.what());
    return 1;
  }
}
