#include "platform/files.h"
#include "update/update_logic.h"

namespace vantrel {

TStartupContext TStartupContext::FromProcess(int argc, char** argv) {
  TStartupContext c;
  c.exepath = platform::ExecutablePath();
  for (int i = 1; i < argc; ++i) c.args.emplace_back(argv[i]);
  c.resources = &platform::ExecutableResources();
  c.firewall = &platform::SystemFirewallPolicy();
  return c;
}

}  // namespace vantrel
