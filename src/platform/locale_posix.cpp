#include <langinfo.h>
#include <locale.h>

#include <ctime>
#include <mutex>

#include "platform/locale.h"

namespace vantrel::platform {

namespace {
// The environment's locale, opened once; newlocale objects are read-only
// afterwards and safe to use from any thread.
locale_t UserLocale() {
  static locale_t loc = [] {
    locale_t l = ::newlocale(LC_NUMERIC_MASK | LC_TIME_MASK, "", static_cast<locale_t>(0));
    if (l == static_cast<locale_t>(0)) l = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    return l;
  }();
  return loc;
}
}  // namespace

char LocaleDecimalSeparator() {
  const char* sep = ::nl_langinfo_l(RADIXCHAR, UserLocale());
  return (sep != nullptr && sep[0] != '\0') ? sep[0] : '.';
}

std::string FormatLocalDateTimeNow() {
  const std::time_t now = std::time(nullptr);
  std::tm tm {};
  ::localtime_r(&now, &tm);
  char buf[128];
  const size_t n = ::strftime_l(buf, sizeof buf, "%x %X", &tm, UserLocale());
  return std::string(buf, n);
}

}  // namespace vantrel::platform
