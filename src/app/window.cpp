#include "app/window.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/resources.h"
#include "platform/text_file.h"
#include "ui/engine_binding.h"
#include "ui/engine_host.h"
#include "ui/natives.h"
#include "update/update_logic.h"

namespace vantrel::app {

namespace {

constexpr const char* kWindowTitle = "Vantrel";
constexpr const char* kPageUrl = "res:default.htm";

// Whether the close sequence has reached its end (FOnCloseFinished), for
// the end of the process.
struct TCloseState {
  std::mutex lock;  // guards finished
  std::condition_variable changed;
  bool finished = false;
};

// The size of the regular file at path itself; -1 when there is none (a
// link, even to a file, is no file of ours and is replaced).
int64_t RegularFileSize(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return static_cast<int64_t>(st.st_size);
}

// The service endpoint's base URL for the page's launcher data (resource
// "LauncherDataUrl" of the configuration); empty when the build has none.
std::string LauncherDataUrl() {
  const auto bytes = platform::ExecutableResources().Find("RCDATA", "LauncherDataUrl");
  if (!bytes) return {};
  std::string url = platform::DecodeText(*bytes);
  while (!url.empty() && (url.back() == '\n' || url.back() == '\r' || url.back() == ' ')) {
    url.pop_back();
  }
  const bool http = url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0;
  if (!http || url.find_first_of(" \t\r\n") != std::string::npos) return {};
  return url;
}

void ShowStartupError(const std::string& program, const std::string& text) {
  std::fprintf(stderr, "%s: %s\n", program.c_str(), text.c_str());
  std::fflush(stderr);
  try {
    ui::EngineApi()->MessageBox(kWindowTitle, text.c_str());
  } catch (const std::exception&) {
    // No engine: the text is on stderr.
  }
}

}  // namespace

void WriteEngineLibrary(const std::string& path) {
  const auto bytes = platform::ExecutableResources().Find("ENGINETYPE", "ENGINE");
  if (!bytes) throw EVantrelError("The engine library is missing from the executable.");
  const int64_t size = static_cast<int64_t>(bytes->size());
  if (RegularFileSize(path) == size) return;
  // Written beside the final name and renamed over it, so that a library
  // that is in use by another launcher is never changed under it. The
  // temporary file is a new one of this run's own (never an existing name,
  // which may be another user's link or another launcher's file in writing).
  std::string temp = path + ".XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) throw EFOpenError(temp, errno);
  if (::fchmod(fd, 0755) != 0) {
    const int err = errno;
    ::close(fd);
    ::unlink(temp.c_str());
    throw EOSError("Cannot write " + temp, err);
  }
  size_t done = 0;
  while (done < bytes->size()) {
    const ssize_t n = ::write(fd, bytes->data() + done, bytes->size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      ::unlink(temp.c_str());
      throw EOSError("Cannot write " + temp, err);
    }
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    throw EOSError("Cannot write " + temp, err);
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    throw EOSError("Cannot replace " + path, err);
  }
}

int RunWindow(const std::string& program, int argc, char** argv, const TCommandLine& cl,
              const TWindowHooks* hooks) {
  // Process-wide objects: they live until the process ends (the process
  // ends with _Exit, so worker threads never see them destroyed).
  TUpdateLogic* logic = nullptr;
  ui::TEngineHost* host = nullptr;
  VEngineWindow* window = nullptr;
  auto* closestate = new TCloseState;
  try {
    platform::EnterExecutableFolder();
    const std::string folder = platform::ExtractFileDir(platform::ExecutablePath());
    ui::SetEngineLibraryFolder(folder);
    // 1. The engine library on disk.
    WriteEngineLibrary(ui::EngineLibraryPath());
    // 2. The launcher state.
    TStartupContext context = TStartupContext::FromProcess(argc, argv);
    context.args = cl.stateargs;
    logic = new TUpdateLogic(std::move(context));
    logic->LoadInitialData();
    logic->restartargs = cl.restartargs;
    // 3. The graphics layer, before any window exists (loads the engine).
    if (cl.gfxlayer) {
      const int layer = ParseGraphicsLayer(*cl.gfxlayer);
      ui::EngineApi()->SetOption(nullptr, VENGINE_SET_GFX_LAYER, layer);
    }
    const VEngineApi* api = ui::EngineApi();
    // 4, 5. The window, borderless and without a size until the page sets one.
    char error[256] = {0};
    window = api->CreateWindow(kWindowTitle, error, sizeof error);
    if (window == nullptr) throw ui::EEngineException(error);
    // 6. Script features (ignored here) and per-pixel transparency.
    api->SetOption(window, VENGINE_SET_SCRIPT_RUNTIME_FEATURES, 15);
    api->SetOption(window, VENGINE_ALPHA_WINDOW, 1);
    api->SetLauncherDataUrl(window, LauncherDataUrl().c_str());
    if (hooks != nullptr && hooks->linkopener != nullptr) {
      api->SetLinkOpener(window, hooks->linkopener, nullptr);
    }
    // 7. The host object and its callback.
    host = new ui::TEngineHost(window, platform::ExecutableResources());
    if (hooks != nullptr && hooks->reporter) host->SetReporter(hooks->reporter);
    host->SetupCallback();
    // 8. The natives.
    ui::SetNativesState(logic);
    ui::RegisterNatives(*host);
    // 9. The end of the close sequence calls the page.
    logic->FOnCloseFinished = [host, closestate](int32_t closedelay) {
      host->OnCloseFinished(closedelay);
      std::lock_guard<std::mutex> lock(closestate->lock);
      closestate->finished = true;
      closestate->changed.notify_all();
    };
    // 10. The page, then the window.
    api->LoadFile(window, kPageUrl);
    api->ShowWindow(window);
    if (hooks != nullptr && hooks->started) hooks->started(window, *host);
  } catch (const std::exception& e) {
    if (logic != nullptr) logic->UnInitLogFile();
    ShowStartupError(program, e.what());
    return 1;
  }

  // 11. The main loop, until the window is gone.
  const int code = ui::EngineApi()->RunLoop(window);

  // The window may go without the page's close sequence (a window manager's
  // close): the client's data is then saved here before the process ends.
  // A close sequence already under way is waited for.
  try {
    if (logic->closerequested.WaitFor(0)) {
      std::unique_lock<std::mutex> lock(closestate->lock);
      closestate->changed.wait(lock, [&] { return closestate->finished; });
    } else {
      logic->AppClose(false, 0);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", program.c_str(), e.what());
  }
  return code;
}

}  // namespace vantrel::app
