// Text in the settings files and resources. Inside the program texts are
// UTF-8 strings; the system's ANSI code page is UTF-8 on this platform.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vantrel::platform {

// Decodes bytes by their byte-order mark: UTF-8, UTF-16 LE or BE when a mark
// is present (the mark is dropped), the ANSI code page (UTF-8) otherwise.
std::string DecodeText(std::span<const uint8_t> bytes);

// Splits at CR LF, LF or CR. A final line break does not start another line;
// an empty text has no lines.
std::vector<std::string> SplitLines(const std::string& text);

// Reads a text file as lines (DecodeText, SplitLines); the file is opened
// for reading with sharing allowed. Raises EFOpenError / EReadError.
std::vector<std::string> ReadTextLines(const std::string& filename);

// Creates the file anew with each line ended by CR LF, no byte-order mark.
// permissions apply when the file is created (0600 for private files; an
// existing file is given them too). Raises EFOpenError / EWriteError.
void WriteTextLines(const std::string& filename, const std::vector<std::string>& lines,
                    unsigned permissions = 0644);

}  // namespace vantrel::platform
