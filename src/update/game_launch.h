// Play: the game ticket, the game's command line and LaunchGameThread.
// The helpers are pure functions that any thread may call; the stand-in
// game of the tests uses the same key and layout from here.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "versions/update_utils.h"

namespace vantrel {

class TUpdateLogic;

// The game executable below the game folder, as the launcher forms it.
inline constexpr const char* kGameExecutable = "\\bin32\\Myrefall.exe";
inline constexpr size_t kGameTicketSize = 32;
// The environment variable through which the game also receives its exact
// command line (its argv holds the same line split into arguments).
inline constexpr const char* kGameCommandLineVariable = "MYREFALL_COMMAND_LINE";

// The 8-byte RC4 key of the ticket, shared with the game.
std::array<uint8_t, 8> GameTicketKey();

// RC4 (key scheduling over 256 entries, then one keystream byte XORed into
// each data byte from the first on). Encrypts and decrypts alike.
void Rc4Crypt(std::span<const uint8_t> key, std::span<uint8_t> data);

// MD5 of the password taken one UTF-16 code unit at a time: a unit below
// 128 is that byte, any other "?" (a character outside the basic plane is
// two units, so "??"; a byte that is not UTF-8 counts as one unit).
TBytes PasswordDigest(const std::string& password);
// 16 bytes as 32 upper-case hexadecimal digits, high nibble first.
std::string DigestText(const TBytes& digest);
// The 16 bytes of a 32-digit hexadecimal text (either case), or nullopt.
std::optional<TBytes> DigestFromText(const std::string& text);

// ASCII letters lower-cased, then characters below 33 cut from both ends.
std::string NormaliseLogin(const std::string& login);
// The longest prefix of whole characters that has at most units UTF-16
// code units.
std::string CutToCodeUnits(const std::string& text, size_t units);

// The 32 ticket bytes before encryption: the login's bytes (at most 16,
// never a character split) padded with zero, then the 16 digest bytes.
std::array<uint8_t, kGameTicketSize> BuildGameTicket(const std::string& login,
                                                     const TBytes& digest);

// The game's command line:
//   "<gamefolder>\bin32\Myrefall.exe" <-r|-t> +auth_ip <serverip> -auth_port 1237
//   -handle <ticket>:<event> -lang <code> -uid <login>
std::string GameCommandLine(const std::string& gamefolder, const std::string& lang,
                            const std::string& serverip, int tickethandle, int eventhandle,
                            const std::string& login);

// Runs TUpdateLogic::LaunchGame on a thread of its own, held by the state
// object (which joins it when it is destroyed). An error that escapes the
// launch is logged and reported as "LaunchError".
class LaunchGameThread {
 public:
  // Started at once; false, with nothing started, while an earlier launch
  // still runs. Called on the UI thread.
  static bool Start(TUpdateLogic& logic, std::string login, std::string password, bool issave);
};

}  // namespace vantrel
