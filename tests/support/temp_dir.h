// A fresh folder for one test, removed with everything in it at the end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vantrel::testing {

class TTempDir {
 public:
  TTempDir();
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  const std::string& Path() const { return path_; }
  // Path() + "/" + name.
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Makes dir the current folder for the life of this object.
class TChangeDir {
 public:
  explicit TChangeDir(const std::string& dir);
  ~TChangeDir();

 private:
  std::string previous_;
};

std::vector<uint8_t> ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
void WriteFileText(const std::string& path, const std::string& text);
std::string ReadFileText(const std::string& path);

}  // namespace vantrel::testing
