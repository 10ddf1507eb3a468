// The resource table compiled into an executable (cmake/Resources.cmake):
// files of the source tree as byte arrays, looked up by type and name.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace vantrel::platform {

struct TResourceEntry {
  const char* type;
  const char* name;
  const unsigned char* data;
  int64_t size;
};

class TResourceTable {
 public:
  // entries ends with an entry whose type is null.
  explicit TResourceTable(const TResourceEntry* entries) : entries_(entries) {}
  // The bytes of a resource, or nullopt when the table has none of that type
  // and name (names compare without regard to ASCII case, as resource names do).
  std::optional<std::span<const uint8_t>> Find(std::string_view type, std::string_view name) const;

 private:
  const TResourceEntry* entries_;
};

// The table of the running executable; defined by the executable's
// generated resource library.
const TResourceTable& ExecutableResources();

}  // namespace vantrel::platform
