// The launcher's entry routine: parses the command line, then hands over to
// the window or, after entering the executable's folder and creating the one
// launcher state, to the headless front end.
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/headless.h"
#include "app/terminal.h"
#include "app/translations.h"
#include "app/window.h"
#ifdef VANTREL_TEST_HOOKS
#include "app/test_hooks.h"
#endif
#include "platform/files.h"
#include "platform/resources.h"
#include "platform/text_file.h"
#include "update/update_logic.h"

namespace {

using namespace vantrel;

// The page's English table, which the headless status line shows.
app::TTranslationTable EnglishTable() {
  const auto bytes = platform::ExecutableResources().Find("HTML", "EN_TIS");
  if (!bytes) return {};
  return app::TTranslationTable::Parse(platform::DecodeText(*bytes));
}

}  // namespace

int main(int argc, char** argv) {
  const std::string program = platform::ExtractFileName(argc > 0 ? argv[0] : "vantrel");
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);

  app::TCommandLine cl;
  try {
    cl = app::ParseCommandLine(args);
  } catch (const app::EUsageError& e) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", program.c_str(), e.what(), program.c_str());
    return app::kExitUsage;
  }
  if (cl.mode == app::TLaunchMode::Help) {
    std::fputs(app::UsageText(program).c_str(), stdout);
    return 0;
  }

  if (cl.mode == app::TLaunchMode::Window) {
#ifdef VANTREL_TEST_HOOKS
    const app::TWindowHooks* hooks = app::TestHooks();
#else
    const app::TWindowHooks* hooks = nullptr;
#endif
    const int code = app::RunWindow(program, argc, argv, cl, hooks);
    // Threads parked in the download manager end with the process.
    std::fflush(nullptr);
    std::_Exit(code);
  }

  // The launcher state lives until the process ends. Once the headless
  // front end has run, worker threads may still use it while the process
  // exits, so it is not destroyed then.
  std::unique_ptr<TUpdateLogic> logic;
  std::unique_ptr<app::TTerminationSignals> signals;
  try {
    // Before any thread exists, so that every thread has them blocked.
    signals = std::make_unique<app::TTerminationSignals>();
    platform::EnterExecutableFolder();
    TStartupContext context = TStartupContext::FromProcess(argc, argv);
    context.args = cl.stateargs;
    logic = std::make_unique<TUpdateLogic>(std::move(context));
    logic->LoadInitialData();
    logic->restartargs = cl.restartargs;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", program.c_str(), e.what());
    return app::kExitError;
  }

  const app::TTranslationTable table = EnglishTable();
  int code = app::kExitError;
  try {
    code = app::RunHeadless(cl, *logic, table, *signals);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", program.c_str(), e.what());
  }
  // Threads parked in the download manager end with the process; nothing
  // is torn down under them.
  std::fflush(nullptr);
  std::_Exit(code);
}
