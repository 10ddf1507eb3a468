#include <langinfo.h>
#include <locale.h>

#include <ctime>
#include <cwctype>
#include <cstring>
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

// One UTF-8 sequence at text[i]: its code point and length, or length 0
// when the bytes there are not a well-formed sequence.
char32_t DecodeOne(const std::string& text, size_t i, size_t& len) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char c = b(i);
  len = 0;
  size_t n = 0;
  char32_t cp = 0;
  if (c < 0x80) {
    len = 1;
    return c;
  }
  if ((c & 0xE0) == 0xC0) {
    n = 2;
    cp = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    n = 3;
    cp = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    n = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (i + n > text.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(i + k) & 0x3F);
  }
  const char32_t min = n == 2 ? 0x80 : n == 3 ? 0x800 : 0x10000;
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  len = n;
  return cp;
}

void EncodeOne(char32_t cp, std::string& out) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
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
    const char32_t cp = DecodeOne(text, i, len);
    if (len == 0) {
      out += text[i];
      ++i;
      continue;
    }
    const auto lower = static_cast<char32_t>(::towlower_l(static_cast<wint_t>(cp), loc));
    // A mapping that leaves the valid range is ignored.
    EncodeOne(lower <= 0x10FFFF && !(lower >= 0xD800 && lower <= 0xDFFF) ? lower : cp, out);
    i += len;
  }
  return out;
}

}  // namespace

std::string LinguisticLowerCase(const std::string& text) { return LowerCaseIn(text, CaseLocale()); }

std::string AnsiLowerCase(const std::string& text) { return LowerCaseIn(text, Utf8Ctype()); }

}  // namespace vantrel::platform
