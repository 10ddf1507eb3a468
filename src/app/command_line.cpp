#include "app/command_line.h"

#include "platform/utf8.h"

#include <charconv>

#include "platform/errors.h"

namespace vantrel::app {

namespace {

bool IsHelp(const std::string& a) { return a == "--help" || a == "-h"; }

}  // namespace

TCommandLine ParseCommandLine(const std::vector<std::string>& args) {
  TCommandLine cl;
  if (!args.empty() && IsHelp(args[0])) {
    cl.mode = TLaunchMode::Help;
    return cl;
  }
  if (args.empty() || args[0] != "--headless") {
    // The window: a first argument is the graphics layer, unless it is
    // "-debug"; then the layer is the argument after it, when that is a number.
    cl.mode = TLaunchMode::Window;
    cl.stateargs = args;
    if (!args.empty() && args[0] != "-debug") {
      cl.gfxlayer = args[0];
    } else if (args.size() >= 2) {
      try {
        ParseGraphicsLayer(args[1]);
        cl.gfxlayer = args[1];
      } catch (const EConvertError&) {
        // Not a number: no graphics layer is chosen.
      }
    }
    return cl;
  }

  cl.mode = TLaunchMode::Headless;
  cl.restartargs = args;
  size_t i = 1;
  for (size_t k = 1; k < args.size(); ++k) {
    if (IsHelp(args[k])) {
      cl.mode = TLaunchMode::Help;
      return cl;
    }
  }
  if (i < args.size() && args[i] == "-debug") {
    cl.debug = true;
    ++i;
  }
  if (i >= args.size()) throw EUsageError("missing command (check, repair or play LOGIN)");
  const std::string& command = args[i++];
  if (command == "check") {
    cl.command = THeadlessCommand::Check;
  } else if (command == "repair") {
    cl.command = THeadlessCommand::Repair;
  } else if (command == "play") {
    cl.command = THeadlessCommand::Play;
    if (i >= args.size()) throw EUsageError("play needs a LOGIN");
    cl.login = args[i++];
    bool blank = true;
    for (const char c : cl.login) blank = blank && static_cast<unsigned char>(c) < 33;
    if (blank) throw EUsageError("the LOGIN is empty");
  } else {
    throw EUsageError("unknown command '" + command + "'");
  }
  if (i < args.size()) {
    if (cl.command == THeadlessCommand::Play) {
      throw EUsageError("unexpected argument '" + args[i] +
                        "' (the password is never taken from the command line)");
    }
    throw EUsageError("unexpected argument '" + args[i] + "'");
  }
  // The state object turns its log on for "-debug" followed by another argument.
  if (cl.debug) cl.stateargs.push_back("-debug");
  cl.stateargs.insert(cl.stateargs.end(), args.begin() + (cl.debug ? 2 : 1), args.end());
  return cl;
}

int ParseGraphicsLayer(const std::string& text) { return platform::ParseInt(text); }

std::string UsageText(const std::string& program) {
  std::string text = "Usage:\n";
  for (const char* form :
       {" [N | -debug [N]]", " --headless [-debug] check", " --headless [-debug] repair",
        " --headless [-debug] play LOGIN", " --help"}) {
    text += "  " + program + form + "\n";
  }
  return text +
         "\n"
         "Keeps the Myrefall client in the launcher's own folder current and starts\n"
         "the game. The launcher works in the folder of its executable, whatever the\n"
         "current folder was.\n"
         "\n"
         "Window (not available in this build; the launcher then exits with 2):\n"
         "  N            as the first argument: an integer that selects the web\n"
         "               engine's graphics layer; any other first argument except\n"
         "               -debug is an error (exit status 1)\n"
         "  -debug ARG   as the first of at least two arguments: writes a log next\n"
         "               to the executable (its name with .log); when ARG is an\n"
         "               integer it selects the graphics layer. -debug alone does\n"
         "               nothing.\n"
         "\n"
         "Headless (no window; --headless must be the first argument):\n"
         "  -debug       right after --headless: writes the log as above\n"
         "  check        the version check the window starts by itself: replaces\n"
         "               the launcher when a new one is published (the new one goes\n"
         "               on with the same command), then reports the client ready,\n"
         "               or updates or repairs it as needed\n"
         "  repair       checks every file of the client and fetches what is wrong\n"
         "  play LOGIN   starts the game as LOGIN. When LOGIN is the saved login the\n"
         "               saved password is used; otherwise the password is asked for\n"
         "               on the terminal without echo (and saved only when saving\n"
         "               was on). A password is never taken from the command line.\n"
         "\n"
         "The status line is shown in English as the window shows it; on a terminal\n"
         "with a progress bar, size and speed, otherwise one line per status change\n"
         "and a progress line every few seconds. Ctrl-C (or SIGTERM) closes the\n"
         "launcher cleanly: downloads are stopped and the client data is saved.\n"
         "\n"
         "Exit status:\n"
         "  0    the client is ready, or the game was started\n"
         "  1    an error outcome (version check, update, repair or launch error,\n"
         "       corrupted client) or a start-up error\n"
         "  2    a usage error, or the window was asked for\n"
         "  130  interrupted by Ctrl-C (143 by SIGTERM, 129 by SIGHUP)\n";
}

}  // namespace vantrel::app
