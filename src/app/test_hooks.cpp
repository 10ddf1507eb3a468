#include "app/test_hooks.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "ui/engine_binding.h"

namespace vantrel::app {

namespace {

struct TChannel {
  int in = -1;
  int out = -1;
  std::mutex writelock;  // one answer line at a time
  VEngineWindow* window = nullptr;
};

TChannel& Channel() {
  static TChannel channel;
  return channel;
}

void WriteLine(const std::string& line) {
  TChannel& c = Channel();
  std::string text = line;
  for (char& ch : text) {
    if (ch == '\n' || ch == '\r') ch = ' ';
  }
  text += '\n';
  std::lock_guard<std::mutex> lock(c.writelock);
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(c.out, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

struct TCommand {
  std::string id;
  std::string verb;
  std::string arg;
};

void Reply(const char* json, const char* error, void* data) {
  std::unique_ptr<TCommand> cmd(static_cast<TCommand*>(data));
  if (json != nullptr) {
    WriteLine(cmd->id + " ok " + json);
  } else {
    WriteLine(cmd->id + " err " + (error ? error : ""));
  }
}

void RunCommand(void* data) {
  auto* cmd = static_cast<TCommand*>(data);
  const VEngineApi* api = ui::EngineApi();
  VEngineWindow* w = Channel().window;
  if (cmd->verb == "eval") {
    api->TestEvaluate(w, cmd->arg.c_str(), Reply, cmd);
  } else if (cmd->verb == "snapshot") {
    api->TestSnapshot(w, cmd->arg.c_str(), Reply, cmd);
  } else if (cmd->verb == "describe") {
    api->TestDescribe(w, Reply, cmd);
  } else {
    Reply(nullptr, "unknown command", cmd);
  }
}

// Reads commands until IN ends; each one runs on the UI thread.
void ReadCommands() {
  TChannel& c = Channel();
  std::string buffer;
  char chunk[4096];
  for (;;) {
    const ssize_t n = ::read(c.in, chunk, sizeof chunk);
    if (n <= 0) return;
    buffer.append(chunk, static_cast<size_t>(n));
    size_t eol;
    while ((eol = buffer.find('\n')) != std::string::npos) {
      const std::string line = buffer.substr(0, eol);
      buffer.erase(0, eol + 1);
      auto* cmd = new TCommand;
      const size_t a = line.find(' ');
      cmd->id = line.substr(0, a);
      if (a != std::string::npos) {
        const size_t b = line.find(' ', a + 1);
        cmd->verb = line.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1);
        if (b != std::string::npos) cmd->arg = line.substr(b + 1);
      }
      ui::EngineApi()->Post(RunCommand, cmd);
    }
  }
}

void OpenLink(const char* uri, void*) { WriteLine(std::string("open ") + uri); }

}  // namespace

const TWindowHooks* TestHooks() {
  static TWindowHooks hooks;
  static bool made = false;
  if (made) return &hooks;
  const char* channels = std::getenv("VANTREL_TEST_HOOKS");
  if (channels == nullptr || std::sscanf(channels, "%d,%d", &Channel().in, &Channel().out) != 2) {
    return nullptr;
  }
  made = true;
  hooks.reporter = [](const std::string& text) { WriteLine("report " + text); };
  hooks.linkopener = OpenLink;
  hooks.started = [](VEngineWindow* window, ui::TEngineHost&) {
    Channel().window = window;
    std::thread(ReadCommands).detach();
  };
  return &hooks;
}

}  // namespace vantrel::app
