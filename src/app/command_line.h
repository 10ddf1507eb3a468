// The launcher's command line: the window's rules (a graphics layer number
// first, or "-debug" first for the log) and the headless front end's
// ("--headless [-debug] check|repair|play LOGIN").
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vantrel::app {

// A command line the launcher cannot run; the text says why.
class EUsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class TLaunchMode { Window, Headless, Help };
enum class THeadlessCommand { None, Check, Repair, Play };

struct TCommandLine {
  TLaunchMode mode = TLaunchMode::Window;
  // Window: the argument that selects the graphics layer, when there is one
  // (converted after start-up has loaded its data, as the window does).
  std::optional<std::string> gfxlayer;
  // Headless.
  bool debug = false;
  THeadlessCommand command = THeadlessCommand::None;
  std::string login;
  // The arguments the launcher state sees (its "-debug" rule: first of at
  // least two), and those a launcher started in its place gets.
  std::vector<std::string> stateargs;
  std::vector<std::string> restartargs;
};

// args without the program name. Raises EUsageError for a headless command
// line that is not one of the forms above.
TCommandLine ParseCommandLine(const std::vector<std::string>& args);

// A graphics layer number: a decimal integer with an optional sign.
// Raises EConvertError otherwise.
int ParseGraphicsLayer(const std::string& text);

// The --help text; program is the name the launcher was started under.
std::string UsageText(const std::string& program);

}  // namespace vantrel::app
