#include <langinfo.h>
#include <locale.h>

#include <ctime>
#include <cwctype>
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
// Character classes of the UTF-8 code page, whatever the user's locale.
locale_t Utf8Ctype() {
  static locale_t loc = [] {
    locale_t l = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    if (l == static_cast<locale_t>(0)) l = ::newlocale(LC_CTYPE_MASK, "C", static_cast<locale_t>(0));
    return l;
  }();
  return loc;
}

// Length of the valid UTF-8 sequence at s[i] and its code point; 0 when the
// bytes there are not one.
size_t DecodeUtf8(const std::string& s, size_t i, char32_t& cp) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[i + k]); };
  const unsigned char c = b(0);
  size_t len = 0;
  if (c < 0x80) {
    cp = c;
    return 1;
  } else if ((c & 0xE0) == 0xC0) {
    len = 2, cp = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    len = 3, cp = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    len = 4, cp = c & 0x07;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    if ((b(k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(k) & 0x3F);
  }
  static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

void AppendUtf8(std::string& out, char32_t cp) {
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
}  // namespace

std::string AnsiLowerCase(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : static_cast<char>(c);
      ++i;
      continue;
    }
    char32_t cp = 0;
    const size_t len = DecodeUtf8(text, i, cp);
    if (len == 0) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    const wint_t lower = ::towlower_l(static_cast<wint_t>(cp), Utf8Ctype());
    AppendUtf8(out, static_cast<char32_t>(lower));
    i += len;
  }
  return out;
}

}  // namespace vantrel::platform
