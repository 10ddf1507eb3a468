#include "platform/resources.h"

#include <cctype>

namespace vantrel::platform {

namespace {
bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}
}  // namespace

std::optional<std::span<const uint8_t>> TResourceTable::Find(std::string_view type,
                                                             std::string_view name) const {
  for (const TResourceEntry* e = entries_; e->type != nullptr; ++e) {
    if (SameName(e->type, type) && SameName(e->name, name)) {
      return std::span<const uint8_t>(e->data, static_cast<size_t>(e->size));
    }
  }
  return std::nullopt;
}

}  // namespace vantrel::platform
