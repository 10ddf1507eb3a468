#include "support/temp_dir.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace vantrel::testing {

namespace fs = std::filesystem;

TTempDir::TTempDir() {
  std::string tmpl = (fs::temp_directory_path() / "vantrel-test-XXXXXX").string();
  if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TTempDir::~TTempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

TChangeDir::TChangeDir(const std::string& dir) : previous_(fs::current_path().string()) {
  fs::current_path(dir);
}

TChangeDir::~TChangeDir() {
  std::error_code ec;
  fs::current_path(previous_, ec);
}

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) throw std::runtime_error("cannot read " + path);
  // One read of the whole file: a byte-wise copy of a launcher binary takes
  // seconds under the sanitizers.
  const std::streamoff size = in.tellg();
  if (size < 0) throw std::runtime_error("cannot read " + path);
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes.data()), size);
  if (in.gcount() != size) throw std::runtime_error("cannot read " + path);
  return bytes;
}

void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

void WriteFileText(const std::string& path, const std::string& text) {
  WriteFileBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
}

std::string ReadFileText(const std::string& path) {
  const auto b = ReadFileBytes(path);
  return std::string(b.begin(), b.end());
}

}  // namespace vantrel::testing
