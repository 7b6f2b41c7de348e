// vql-isp-cli: the terminal front end over the same command layer as the window.
// See --help, or README.md.
#include <cstdio>
#include <exception>
#include <span>
#include <string>

#include "cli/exit_status.h"
#include "manual/help.h"
#include "cli/options.h"
#include "cli/session.h"
#include "cli/std_streams.h"
#include "cli/stop_signals.h"

int main(int argc, char** argv) {
  try {
    const vql::CliOptions options = vql::ParseCommandLine(
        std::span<const char* const>(argv + 1, static_cast<std::size_t>(argc - 1)));
    if (options.help || options.manual) {
      std::fputs((options.manual ? vql::HelpText() : vql::ShortHelpText()).c_str(), stdout);
      return vql::std_streams::Finish(vql::kExitOk);
    }
    if (options.version) {
      std::fputs(vql::VersionText("vql-isp-cli").c_str(), stdout);
      return vql::std_streams::Finish(vql::kExitOk);
    }
    const int status = vql::std_streams::Finish(vql::RunSession(options));
    vql::StopSignals::EndLikeTheSignal();
    return status;
  } catch (const vql::UsageError& error) {
    std::fprintf(stderr,
                 "vql-isp-cli: %s\n"
                 "Usage: vql-isp-cli [OPTION]... COMMAND [FILE]\n"
                 "Try 'vql-isp-cli --help' for more information.\n",
                 error.what());
  } catch (const std::exception& error) {
    std::fprintf(stderr, "vql-isp-cli: %s\n", error.what());
  }
  return vql::std_streams::Finish(vql::kExitUsage);
}
