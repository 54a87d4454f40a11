// nimbro-host: a host for the driver module on the command line. See --help.
#include <atomic>
#include <iostream>
#include <string>

#include "HostCli.h"
#include "platform/console.h"
#include "platform/signals.h"

namespace {

// Set from the signal handler: nothing else may be touched there.
std::atomic<bool> gStop{false};

void OnStop() {
    gStop.store(true);
}

} // namespace

int main(int argc, char** argv) {
    nimbrohost::Options options;
    std::string error;
    if (!nimbrohost::ParseCommandLine(argc - 1, argv + 1, &options, &error)) {
        std::cerr << "nimbro-host: " << error << "\nTry 'nimbro-host --help'.\n";
        return nimbrohost::kExitUsage;
    }
    if (options.help) {
        std::cout << nimbrohost::HelpText();
        return nimbrohost::kExitOk;
    }
    options.terminal = plat::StdoutIsTerminal();
    if (!plat::InstallStopHandler(OnStop))
        std::cerr << "nimbro-host: cannot catch Ctrl+C; the driver may not be released\n";
    int rc = nimbrohost::Run(options, std::cout, std::cerr, &gStop);
    plat::InstallStopHandler(nullptr);
    return rc;
}
