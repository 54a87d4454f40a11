// idec-sim: a simulated IDEC PLC on TCP. See --help.
#include <atomic>
#include <iostream>
#include <string>

#include "CommandLine.h"
#include "platform/signals.h"

namespace {

// Set from the signal handler: nothing else may be touched there.
std::atomic<bool> gStop{false};

void OnStop() {
    gStop.store(true);
}

} // namespace

int main(int argc, char** argv) {
    idecsim::CliOptions options;
    std::string error;
    if (!idecsim::ParseCommandLine(argc - 1, argv + 1, &options, &error)) {
        std::cerr << "idec-sim: " << error << "\nTry 'idec-sim --help'.\n";
        return 2;
    }
    if (options.help) {
        std::cout << idecsim::HelpText();
        return 0;
    }
    if (!plat::InstallStopHandler(OnStop))
        std::cerr << "idec-sim: cannot catch Ctrl+C; stop it some other way\n";
    int rc = idecsim::RunSimulator(options, std::cout, std::cerr, gStop);
    plat::InstallStopHandler(nullptr);
    return rc;
}
