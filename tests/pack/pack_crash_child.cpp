// The working half of the crash test: adds, replaces and removes files in a
// pack and saves it now and then, forever, until the test kills it. Before
// each step it appends a line to a journal so the test knows what was under
// way when it died.
//
//   pack_crash_child PACK JOURNAL SEED
#include <fcntl.h>
#include <unistd.h>

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
  if (argc != 4) {
    std::fprintf(stderr, "usage: pack_crash_child PACK JOURNAL SEED\n");
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
