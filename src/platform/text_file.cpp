#include "platform/text_file.h"

#include <sys/stat.h>

#include "platform/files.h"
#include "platform/stream.h"
#include "platform/utf8.h"

namespace vantrel::platform {

namespace {

std::string Utf16ToUtf8(std::span<const uint8_t> bytes, bool bigendian) {
  std::string out;
  const size_t units = bytes.size() / 2;
  auto unit = [&](size_t i) -> uint32_t {
    return bigendian ? (bytes[2 * i] << 8) | bytes[2 * i + 1] : bytes[2 * i] | (bytes[2 * i + 1] << 8);
  };
  for (size_t i = 0; i < units; ++i) {
    uint32_t u = unit(i);
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
      const uint32_t lo = unit(i + 1);
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        AppendUtf8(out, static_cast<char32_t>(0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00)));
        ++i;
        continue;
      }
    }
    if (u >= 0xD800 && u <= 0xDFFF) u = 0xFFFD;  // lone surrogate
    AppendUtf8(out, static_cast<char32_t>(u));
  }
  return out;
}

}  // namespace

std::string DecodeText(std::span<const uint8_t> bytes) {
  if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
    return std::string(bytes.begin() + 3, bytes.end());
  }
  if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
    return Utf16ToUtf8(bytes.subspan(2), false);
  }
  if (bytes.size() >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) {
    return Utf16ToUtf8(bytes.subspan(2), true);
  }
  return std::string(bytes.begin(), bytes.end());
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string cur;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(std::move(cur));
      cur.clear();
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) lines.push_back(std::move(cur));
  return lines;
}

std::vector<std::string> ReadTextLines(const std::string& filename) {
  TMemoryStream mem;
  mem.LoadFromFile(filename);
  return SplitLines(DecodeText(mem.Bytes()));
}

void WriteTextLines(const std::string& filename, const std::vector<std::string>& lines,
                    unsigned permissions) {
  std::string text;
  for (const std::string& line : lines) {
    text += line;
    text += "\r\n";
  }
  TFileStream f(filename, TFileMode::Create, TFileShare::DenyNone, permissions);
  // An existing file keeps its old mode through O_CREAT; private files must
  // not stay readable by others. Set on the open file, before any byte is
  // written: a mode that cannot be set leaves the file empty and raises.
  f.ChangeMode(permissions);
  f.WriteBuffer(text.data(), static_cast<int64_t>(text.size()));
}

}  // namespace vantrel::platform
