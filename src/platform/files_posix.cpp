#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <algorithm>
#include <strings.h>
#include <system_error>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/stream.h"

namespace vantrel::platform {

namespace fs = std::filesystem;

std::string ToSystemPath(const std::string& path) {
  std::string out = path;
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return out;
}

std::string ExecutablePath() {
  std::error_code ec;
  const fs::path p = fs::read_symlink("/proc/self/exe", ec);
  if (ec) throw EOSError("Cannot find the executable's path", ec.value());
  return p.string();
}

std::string ExecutableFolder() { return fs::path(ExecutablePath()).parent_path().string(); }

void EnterExecutableFolder() {
  const std::string dir = ExecutableFolder();
  if (::chdir(dir.c_str()) != 0) throw EOSError("Cannot enter folder \"" + dir + "\"", errno);
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(ToSystemPath(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool FolderExists(const std::string& path) {
  struct stat st {};
  return ::stat(ToSystemPath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool RemoveFileAt(const std::string& path) { return ::unlink(ToSystemPath(path).c_str()) == 0; }

bool RenameFileAt(const std::string& from, const std::string& to) {
  return ::rename(ToSystemPath(from).c_str(), ToSystemPath(to).c_str()) == 0;
}

bool ForceFolders(const std::string& path) {
  std::error_code ec;
  const fs::path p(ToSystemPath(path));
  fs::create_directories(p, ec);
  return !ec && fs::is_directory(p, ec);
}

bool RemoveFolderTree(const std::string& path) {
  std::error_code ec;
  fs::remove_all(ToSystemPath(path), ec);
  return !ec;
}

std::string FindPathIgnoringCase(const std::string& path) {
  const std::string sys = ToSystemPath(path);
  if (::access(sys.c_str(), F_OK) == 0) return sys;
  std::error_code ec;
  fs::path found = sys.size() > 0 && sys[0] == '/' ? fs::path("/") : fs::path();
  for (const fs::path& part : fs::path(sys).relative_path()) {
    fs::path next = found / part;
    if (!fs::exists(next, ec)) {
      std::vector<std::string> names;
      for (const auto& entry : fs::directory_iterator(found.empty() ? "." : found, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.size() == part.string().size() &&
            ::strncasecmp(name.c_str(), part.c_str(), name.size()) == 0) {
          names.push_back(name);
        }
      }
      if (names.empty()) return sys;
      std::sort(names.begin(), names.end());
      next = found / names.front();
    }
    found = next;
  }
  return found.string();
}

bool RemoveEmptyFolder(const std::string& path) { return ::rmdir(ToSystemPath(path).c_str()) == 0; }

bool MakeExecutable(const std::string& path) { return ::chmod(ToSystemPath(path).c_str(), 0755) == 0; }

int64_t FileSizeOf(const std::string& path) {
  struct stat st {};
  if (::stat(ToSystemPath(path).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return st.st_size;
}

bool SyncFolder(const std::string& path) {
  const int fd = ::open(ToSystemPath(path.empty() ? "." : path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

void ReplaceFileDurably(const std::string& path, std::span<const uint8_t> bytes) {
  const std::string temp = path + ".tmp";
  // A temporary file left by a kill, or anything else at its name (a link
  // included: removing it never touches its target), makes way first.
  RemoveFileAt(temp);
  {
    TFileStream out(temp, TFileMode::Create);
    out.WriteBuffer(bytes);
    out.Flush();
  }
  if (!RenameFileAt(temp, path)) {
    const int err = errno;
    RemoveFileAt(temp);
    throw EOSError("Cannot replace \"" + path + "\"", err);
  }
  // The rename is durable once the folder's entries are on the device. Some
  // file systems cannot flush a folder; the file is in place all the same.
  SyncFolder(ExtractFileDir(path));
}

std::string ExtractFileDir(const std::string& path) {
  const auto pos = path.find_last_of("\\/");
  return pos == std::string::npos ? std::string() : path.substr(0, pos);
}

std::string ExtractFileName(const std::string& path) {
  const auto pos = path.find_last_of("\\/");
  return pos == std::string::npos ? path : path.substr(pos + 1);
}

std::string ChangeFileExt(const std::string& path, const std::string& ext) {
  const auto sep = path.find_last_of("\\/");
  const auto dot = path.find_last_of('.');
  if (dot == std::string::npos || (sep != std::string::npos && dot < sep)) return path + ext;
  return path.substr(0, dot) + ext;
}

namespace {
std::atomic<int> sector_override{0};

// The block device behind a file system, from /sys: the logical block size
// of the device (or of its parent disk for a partition).
std::optional<int> DeviceSectorSize(dev_t dev) {
  const std::string base = "/sys/dev/block/" + std::to_string(major(dev)) + ":" +
                           std::to_string(minor(dev));
  for (const char* rel : {"/queue/logical_block_size", "/../queue/logical_block_size"}) {
    std::ifstream in(base + rel);
    int v = 0;
    if (in >> v && v >= 512 && (v & (v - 1)) == 0) return v;
  }
  return std::nullopt;
}
}  // namespace

void OverrideSectorSize(std::optional<int> bytes) { sector_override = bytes.value_or(0); }

std::optional<int> LogicalSectorSize(const std::string& folder) {
  if (const int o = sector_override.load(); o > 0) return o;
  if (const char* env = std::getenv("VANTREL_SECTOR_SIZE")) {
    const int v = std::atoi(env);
    if (v > 0) return v;
  }
  struct stat st {};
  const std::string p = ToSystemPath(folder.empty() ? "." : folder);
  if (::stat(p.c_str(), &st) != 0) return std::nullopt;
  return DeviceSectorSize(st.st_dev);
}

}  // namespace vantrel::platform
