// One entry of a pack's directory: a stored file or an unused slot of the
// data area. Records are owned by the directory (TPackDirRecord) and used by
// the thread that runs the pack operations.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "pack/pack_limits.h"
#include "platform/stream.h"

namespace vantrel {

inline constexpr int kPackRecordSize = 336;  // one encrypted record
inline constexpr int kPackHeaderSize = 32;   // the encrypted header
inline constexpr int kPackFallbackSectorSize = 512;
inline constexpr int32_t kPackMagic = 0x4A454449;  // "IDEJ" in file order
inline constexpr const char* kPackUnusedName = "__unused__";

// The smallest multiple of s that is not below a (0 for a = 0). s > 0.
constexpr int64_t PackRoundup(int64_t a, int64_t s) { return ((a + s - 1) / s) * s; }

class TPackFileRecord {
 public:
  std::array<char, kPackMaxNameLength + 1> fname{};  // NUL-terminated
  int64_t offset = 0;
  int64_t size = 0;
  int64_t uncompSize = 0;
  int32_t margin = 0;  // slack behind the data; added to size sign-extended
  std::array<uint8_t, 16> digest{};
  int64_t ctime = 0;
  int64_t mtime = 0;

  // The normal form of a pack name: lower case by the code page's rules,
  // every "\" turned into "/", one leading "/" removed.
  static std::string FixName(const std::string& filename);

  // Reads the next 336 bytes of packfile and decrypts them into the fields.
  // False, with the fields unchanged, when the decryption fails; a short read
  // raises EReadError.
  bool Load(TStream& packfile);
  // Writes the record as 336 encrypted bytes at the stream's position. False
  // when the encryption fails; write errors raise.
  bool Save(TStream& packfile) const;

  // The 336 encrypted bytes of the record, and the reverse (false when the
  // decryption fails, fields unchanged).
  std::array<uint8_t, kPackRecordSize> Encode() const;
  bool Decode(const uint8_t* encrypted);

  // fname up to its first NUL.
  std::string Name() const;
  // Stores name in fname, cut to 260 bytes (never inside a UTF-8 character).
  void SetName(const std::string& name);
  // The end of the slot: offset + size + margin.
  int64_t SlotEnd() const { return offset + size + margin; }
};

// Whether a pack name may be joined to a folder on disk: not empty, no NUL,
// no empty, "." or ".." component, no ":" (drive forms), where both "/" and
// "\" separate components. Names from a tampered pack fail this.
bool IsSafePackPath(const std::string& name);

}  // namespace vantrel
