// A stand-in for the game: installed by the tests as bin32/Myrefall.exe.
// It writes what it received to the file named by FAKE_GAME_RECORD, one
// "name=value" line each: its arguments, the command line, its current
// folder, the ticket read through the descriptor number of the command line
// and decrypted with the ticket key, and how the shared memory object looks.
// Then it sets the event (unless FAKE_GAME_NO_EVENT is set) and exits 0.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "update/game_launch.h"

namespace {

std::string Hex(const uint8_t* p, size_t n) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += kHex[p[i] >> 4];
    s += kHex[p[i] & 15];
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  const char* record = std::getenv("FAKE_GAME_RECORD");
  if (record == nullptr) return 3;
  std::string out;
  out += "argc=" + std::to_string(argc) + "\n";
  for (int i = 0; i < argc; ++i) out += "argv" + std::to_string(i) + "=" + argv[i] + "\n";
  const char* cmdline = std::getenv(vantrel::kGameCommandLineVariable);
  out += std::string("cmdline=") + (cmdline != nullptr ? cmdline : "") + "\n";
  char cwd[4096];
  out += std::string("cwd=") + (::getcwd(cwd, sizeof cwd) != nullptr ? cwd : "?") + "\n";

  // Descriptors above the standard three that the game was given.
  std::string fds;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    const int fd = std::stoi(entry.path().filename().string());
    struct stat fst {};
    // The iterator's own descriptor is a folder; the launcher passes none.
    if (fd > 2 && ::fstat(fd, &fst) == 0 && !S_ISDIR(fst.st_mode)) {
      fds += (fds.empty() ? "" : ",") + std::to_string(fd);
    }
  }
  out += "fds=" + fds + "\n";

  unsigned ticketfd = 0;
  unsigned eventfd = 0;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "-handle") == 0)
      std::sscanf(argv[i + 1], "%8X:%8X", &ticketfd, &eventfd);
  }
  struct stat st {};
  if (::fstat(static_cast<int>(ticketfd), &st) == 0) {
    char mode[16];
    std::snprintf(mode, sizeof mode, "%o", st.st_mode & 0777);
    out += std::string("shmmode=") + mode + "\nshmsize=" + std::to_string(st.st_size) + "\n";
    out += "shmino=" + std::to_string(st.st_ino) + "\n";
    uint8_t ticket[32] = {};
    if (::pread(static_cast<int>(ticketfd), ticket, sizeof ticket, 0) == 32) {
      const auto key = vantrel::GameTicketKey();
      vantrel::Rc4Crypt(key, ticket);
      out += "login=" +
             std::string(reinterpret_cast<const char*>(ticket),
                         ::strnlen(reinterpret_cast<const char*>(ticket), 16)) +
             "\n";
      out += "loginhex=" + Hex(ticket, 16) + "\n";
      out += "digest=" + Hex(ticket + 16, 16) + "\n";
    }
    // The object must also be reachable by its name while the ticket lives.
    if (const char* name = std::getenv("FAKE_GAME_SHM_NAME")) {
      const int byname = ::shm_open((std::string("/") + name).c_str(), O_RDONLY, 0);
      struct stat nst {};
      const bool same = byname >= 0 && ::fstat(byname, &nst) == 0 && nst.st_ino == st.st_ino &&
                        nst.st_dev == st.st_dev;
      out += std::string("byname=") + (same ? "same" : "other") + "\n";
      if (byname >= 0) ::close(byname);
    }
  } else {
    out += "shmmode=none\n";
  }
  const bool setevent = std::getenv("FAKE_GAME_NO_EVENT") == nullptr;
  out += std::string("event=") + (setevent ? "set" : "notset") + "\n";

  const std::string tmp = std::string(record) + ".tmp";
  {
    std::ofstream f(tmp, std::ios::binary);
    f << out;
  }
  std::rename(tmp.c_str(), record);
  if (setevent) {
    const uint64_t one = 1;
    if (::write(static_cast<int>(eventfd), &one, sizeof one) != sizeof one) return 4;
  }
  return 0;
}
