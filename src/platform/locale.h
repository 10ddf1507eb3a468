// The user's locale as the status texts and the log use it.
#pragma once

#include <string>

namespace vantrel::platform {

// Decimal separator of the user's locale (LC_NUMERIC of the environment);
// "." when the locale cannot be read.
char LocaleDecimalSeparator();

// The local date and time as the user's locale writes it: short date, a
// blank, long time (strftime "%x %X" in the environment's LC_TIME).
std::string FormatLocalDateTimeNow();

// Lower case by the rules of the system's 8-bit code page (UTF-8 here): each
// character is mapped by Unicode's simple lower-case mapping; bytes that are
// not valid UTF-8 are kept as they are. Safe from any thread.
std::string AnsiLowerCase(const std::string& text);

}  // namespace vantrel::platform

namespace vantrel::platform {

// The text lower-cased character by character with the case rules of the
// environment's LC_CTYPE locale when it is a UTF-8 locale, else those of
// C.UTF-8 (full Unicode simple case mapping). Bytes that are not UTF-8 are
// kept as they are.
std::string LinguisticLowerCase(const std::string& text);

}  // namespace vantrel::platform
