// What one pack can hold, for every part that must agree with it before a
// byte reaches the pack: the version lists refuse entries beyond these
// limits, the publisher refuses files beyond them, and unpacking stops when
// its output passes them. Header only; no state.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/locale.h"

namespace vantrel {

// Bytes of a stored name before its NUL. A longer name would be cut in the
// record and no longer match its key after the next mount, so the pack
// refuses it.
inline constexpr size_t kPackMaxNameLength = 260;

// The largest sector size a mounted pack rounds its slots to.
inline constexpr int32_t kPackMaxSectorSize = 1 << 20;

// A slot (a file's bytes and its slack) is counted in signed 32 bits. The
// largest file a slot can hold at every sector size up to
// kPackMaxSectorSize: its length rounded up to any such sector still fits.
inline constexpr int64_t kPackMaxSlotSize = 0x7FFFFFFF;
inline constexpr int64_t kPackMaxFileSize = kPackMaxSlotSize + 1 - kPackMaxSectorSize;

// The normal form of a name in the pack: lower case by the code page's
// rules, every "\" turned into "/", one leading "/" removed
// ("\Bin32\Game.EXE" becomes "bin32/game.exe").
inline std::string PackNameOf(const std::string& name) {
  std::string out = platform::AnsiLowerCase(name);
  std::replace(out.begin(), out.end(), '\\', '/');
  if (!out.empty() && out[0] == '/') out.erase(0, 1);
  return out;
}

// PackNameOf(name).size(), without building the name when it is plain
// ASCII (whose lower case has the same length).
inline size_t PackNameLengthOf(const std::string& name) {
  const bool ascii = std::all_of(name.begin(), name.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (!ascii) return PackNameOf(name).size();
  return name.size() - (!name.empty() && (name[0] == '\\' || name[0] == '/') ? 1 : 0);
}

}  // namespace vantrel
