#include "update/game_launch.h"

#include <string.h>

#include <cstdio>
#include <optional>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/locale.h"
#include "platform/process.h"
#include "platform/shared_memory.h"
#include "platform/stream.h"
#include "update/update_logic.h"

namespace vantrel {

namespace {

// The ticket key, the one place it is defined: two 32-bit constants whose
// little-endian bytes, low word first, make the 8-byte RC4 key.
constexpr uint32_t kTicketKeyLow = 0x93E1C47Au;
constexpr uint32_t kTicketKeyHigh = 0x0B5D2F68u;

constexpr const char* kAuthPort = "1237";

// One character of UTF-8 text at i: its length in bytes (1 for a byte that
// does not start a well-formed sequence) and its UTF-16 code units.
struct TCharInfo {
  size_t bytes;
  size_t units;
  bool ascii;
};

TCharInfo NextChar(const std::string& text, size_t i) {
  const auto c = static_cast<unsigned char>(text[i]);
  if (c < 0x80) return {1, 1, true};
  size_t n = 0;
  if ((c & 0xE0) == 0xC0) {
    n = 2;
  } else if ((c & 0xF0) == 0xE0) {
    n = 3;
  } else if ((c & 0xF8) == 0xF0) {
    n = 4;
  } else {
    return {1, 1, false};
  }
  if (i + n > text.size()) return {1, 1, false};
  for (size_t k = 1; k < n; ++k) {
    if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return {1, 1, false};
  }
  return {n, n == 4 ? 2u : 1u, false};
}

}  // namespace

std::array<uint8_t, 8> GameTicketKey() {
  std::array<uint8_t, 8> key{};
  for (int i = 0; i < 4; ++i) {
    key[static_cast<size_t>(i)] = static_cast<uint8_t>(kTicketKeyLow >> (8 * i));
    key[static_cast<size_t>(i + 4)] = static_cast<uint8_t>(kTicketKeyHigh >> (8 * i));
  }
  return key;
}

void Rc4Crypt(std::span<const uint8_t> key, std::span<uint8_t> data) {
  std::array<uint8_t, 256> s{};
  for (size_t i = 0; i < 256; ++i) s[i] = static_cast<uint8_t>(i);
  size_t j = 0;
  for (size_t i = 0; i < 256; ++i) {
    j = (j + s[i] + key[i % key.size()]) & 0xFF;
    std::swap(s[i], s[j]);
  }
  size_t i = 0;
  j = 0;
  for (uint8_t& b : data) {
    i = (i + 1) & 0xFF;
    j = (j + s[i]) & 0xFF;
    std::swap(s[i], s[j]);
    b ^= s[(s[i] + s[j]) & 0xFF];
  }
}

TBytes PasswordDigest(const std::string& password) {
  std::string bytes;
  bytes.reserve(password.size());  // never moved while it grows: no stray copy
  for (size_t i = 0; i < password.size();) {
    const TCharInfo c = NextChar(password, i);
    if (c.ascii) {
      bytes += password[i];
    } else {
      bytes.append(c.units, '?');
    }
    i += c.bytes;
  }
  TMemoryStream stream(std::vector<uint8_t>(bytes.begin(), bytes.end()));
  TBytes digest = GetStreamMD5(stream);
  // Both copies of the password's bytes go before their memory is freed.
  platform::WipeSecret(bytes);
  if (stream.Size() > 0) ::explicit_bzero(stream.Memory(), static_cast<size_t>(stream.Size()));
  return digest;
}

std::string DigestText(const TBytes& digest) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (const uint8_t b : digest) {
    text += kHex[b >> 4];
    text += kHex[b & 0x0F];
  }
  return text;
}

std::optional<TBytes> DigestFromText(const std::string& text) {
  if (text.size() != 32) return std::nullopt;
  const auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  TBytes digest;
  for (size_t i = 0; i < 32; i += 2) {
    const int hi = nibble(text[i]);
    const int lo = nibble(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    digest.push_back(static_cast<uint8_t>(hi << 4 | lo));
  }
  return digest;
}

std::string NormaliseLogin(const std::string& login) {
  std::string s = login;
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  size_t first = 0;
  while (first < s.size() && static_cast<unsigned char>(s[first]) < 33) ++first;
  size_t last = s.size();
  while (last > first && static_cast<unsigned char>(s[last - 1]) < 33) --last;
  return s.substr(first, last - first);
}

std::string CutToCodeUnits(const std::string& text, size_t units) {
  size_t used = 0;
  size_t i = 0;
  while (i < text.size()) {
    const TCharInfo c = NextChar(text, i);
    if (used + c.units > units) break;
    used += c.units;
    i += c.bytes;
  }
  return text.substr(0, i);
}

std::array<uint8_t, kGameTicketSize> BuildGameTicket(const std::string& login,
                                                     const TBytes& digest) {
  std::array<uint8_t, kGameTicketSize> ticket{};
  // The login field holds 16 bytes: as many whole characters as fit.
  size_t n = 0;
  while (n < login.size()) {
    const TCharInfo c = NextChar(login, n);
    if (n + c.bytes > 16) break;
    n += c.bytes;
  }
  for (size_t i = 0; i < n; ++i) ticket[i] = static_cast<uint8_t>(login[i]);
  for (size_t i = 0; i < 16 && i < digest.size(); ++i) ticket[16 + i] = digest[i];
  return ticket;
}

std::string GameCommandLine(const std::string& gamefolder, const std::string& lang,
                            const std::string& serverip, int tickethandle, int eventhandle,
                            const std::string& login) {
  std::string langswitch = "-lang en_us";
  if (lang == "ru") {
    langswitch = "-lang ru";
  } else if (lang == "fr") {
    langswitch = "-lang fr";
  } else if (lang == "cn") {
    langswitch = "-lang zh_cn";
  }
  char handles[32];
  std::snprintf(handles, sizeof handles, "%08X:%08X", static_cast<unsigned>(tickethandle),
                static_cast<unsigned>(eventhandle));
  return std::string("\"") + gamefolder + kGameExecutable + "\" " + (lang == "ru" ? "-r" : "-t") +
         " +auth_ip " + serverip + " -auth_port " + kAuthPort + " -handle " + handles + " " +
         langswitch + " -uid " + login;
}

// --- TUpdateLogic::LaunchGame ---------------------------------------------------

void TUpdateLogic::LaunchGame(const std::string& login, const std::string& password, bool issave) {
  LogMessage("Launch game");
  OnStatusMessage("GameStarting");
  OnChangeButtonsState(false, false, false, false);

  std::string user = NormaliseLogin(login);
  // The page shows a saved digest back in its password field; only a text
  // that is a digest is taken as one (an empty field is a typed password).
  std::string digesttext;
  if (password == loadedpassword && DigestFromText(password)) {
    digesttext = password;
  } else {
    digesttext = DigestText(PasswordDigest(password));
  }
  SaveCredits(user, digesttext, issave);

  LogMessage("Create game process");
  user = platform::LinguisticLowerCase(CutToCodeUnits(user, 16));

  auto ticket = BuildGameTicket(user, *DigestFromText(digesttext));
  const auto key = GameTicketKey();
  Rc4Crypt(key, ticket);

  // A close that has begun meanwhile wins: no game is started behind it.
  if (closerequested.WaitFor(0)) return;

  int error = 0;
  int pid = 0;
  bool closing = false;
  try {
    platform::TSharedMemory section(ticketname, kGameTicketSize);
    std::copy(ticket.begin(), ticket.end(), section.Bytes().begin());
    platform::TEventDescriptor event;

    const std::string commandline = GameCommandLine(
        gamefolder, LoadedLang(), Configs.Value("ServerIP"), section.Handle(), event.Handle(), user);
    platform::TSpawnOptions spawn;
    spawn.program = platform::FindPathIgnoringCase(gamefolder + kGameExecutable);
    spawn.argv = platform::SplitCommandLine(commandline);
    spawn.currentfolder = platform::ToSystemPath(gamefolder);
    spawn.inheritfds = {section.Handle(), event.Handle()};
    spawn.extraenv = {std::string(kGameCommandLineVariable) + "=" + commandline};
    pid = platform::SpawnProcess(spawn);

    // Whether the game took the ticket or not, it is released now.
    event.WaitFor(gameticketwaitms, &closerequested);
    closing = closerequested.WaitFor(0);
  } catch (const EOSError& e) {
    error = e.ErrorCode();
  }
  std::fill(ticket.begin(), ticket.end(), 0);

  if (error != 0) {
    LogMessage("Failed create game process, error: " + std::to_string(error));
    OnStatusMessage("LaunchError");
    return;
  }
  gameprocid = static_cast<uint32_t>(pid);
  if (!closing) AppClose(false, 30);
}

bool LaunchGameThread::Start(TUpdateLogic& logic, std::string login, std::string password,
                             bool issave) {
  // A password is in memory from here until the launch thread has wiped it.
  platform::ProtectSecretsInMemory();
  if (logic.gamelaunchbusy.exchange(true)) {
    platform::WipeSecret(password);
    return false;
  }
  if (logic.gamelaunchthread.joinable()) logic.gamelaunchthread.join();
  std::string secret;
  secret.reserve(password.size());
  secret.assign(password);
  platform::WipeSecret(password);
  logic.gamelaunchthread =
      std::jthread([&logic, login = std::move(login), password = std::move(secret), issave]() mutable {
        try {
          logic.LaunchGame(login, password, issave);
        } catch (const std::exception& e) {
          // The launch ends here (credits.dat not writable, say): the page and
          // the front end are told instead of being left at "GameStarting".
          // Once the game runs, only the close can have failed; that is no
          // launch error.
          try {
            logic.LogMessage(std::string("Launch game failed: ") + e.what());
          } catch (...) {
          }
          if (logic.gameprocid == 0) logic.OnStatusMessage("LaunchError");
        }
        platform::WipeSecret(password);
        logic.gamelaunchbusy = false;
      });
  return true;
}

}  // namespace vantrel
