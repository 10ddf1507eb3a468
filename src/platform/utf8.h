// UTF-8, the program's text encoding: one character at a time.
#pragma once

#include <cstddef>
#include <string>

namespace vantrel::platform {

// Appends the UTF-8 form of the code point cp.
void AppendUtf8(std::string& out, char32_t cp);

// The code point of the UTF-8 sequence at text[i] and its length in len, or
// len 0 when the bytes there are not a well-formed sequence.
char32_t DecodeUtf8(const std::string& text, size_t i, size_t& len);

// A decimal integer with an optional sign and nothing else; raises
// EConvertError "'text' is not a valid integer value" otherwise.
int ParseInt(const std::string& text);

}  // namespace vantrel::platform
