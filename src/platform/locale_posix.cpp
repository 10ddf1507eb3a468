#include <langinfo.h>
#include <locale.h>

#include <ctime>
#include <cwctype>
#include <cstring>
#include <mutex>

#include "platform/locale.h"
#include "platform/utf8.h"

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

namespace {

// The locale whose case rules LinguisticLowerCase applies, opened once.
locale_t CaseLocale() {
  static locale_t loc = [] {
    locale_t l = ::newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
    if (l != static_cast<locale_t>(0)) {
      const char* codeset = ::nl_langinfo_l(CODESET, l);
      if (codeset == nullptr || ::strcmp(codeset, "UTF-8") != 0) {
        ::freelocale(l);
        l = static_cast<locale_t>(0);
      }
    }
    if (l == static_cast<locale_t>(0)) l = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    if (l == static_cast<locale_t>(0)) l = ::newlocale(LC_CTYPE_MASK, "C", static_cast<locale_t>(0));
    return l;
  }();
  return loc;
}

// Character classes of the UTF-8 code page, whatever the user's locale.
locale_t Utf8Ctype() {
  static locale_t loc = [] {
    locale_t l = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    if (l == static_cast<locale_t>(0)) l = ::newlocale(LC_CTYPE_MASK, "C", static_cast<locale_t>(0));
    return l;
  }();
  return loc;
}

// Each well-formed character mapped by the case rules of loc; other bytes
// are kept as they are.
std::string LowerCaseIn(const std::string& text, locale_t loc) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    size_t len = 0;
    const char32_t cp = DecodeUtf8(text, i, len);
    if (len == 0) {
      out += text[i];
      ++i;
      continue;
    }
    const auto lower = static_cast<char32_t>(::towlower_l(static_cast<wint_t>(cp), loc));
    // A mapping that leaves the valid range is ignored.
    AppendUtf8(out, lower <= 0x10FFFF && !(lower >= 0xD800 && lower <= 0xDFFF) ? lower : cp);
    i += len;
  }
  return out;
}

}  // namespace

std::string LinguisticLowerCase(const std::string& text) { return LowerCaseIn(text, CaseLocale()); }

std::string AnsiLowerCase(const std::string& text) { return LowerCaseIn(text, Utf8Ctype()); }

}  // namespace vantrel::platform
