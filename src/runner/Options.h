// trm415-run's command line: its options, read and checked, and its help.
#pragma once

#include "sim/SimUnit.h"

#include <string>
#include <vector>

namespace trm::runner {

struct Options {
    bool simulate = false;
    std::string scenarioText;   // as given to --simulate
    sim::UnitScenario scenario; // its settings, read
    bool trace = false;
    bool json = false;
    bool verbose = false;
    bool show = false;
    bool check = false;
    bool list = false;
    bool version = false;
    bool help = false;
    std::string port;
    std::string recordsLocation;  // --records: the records database, a file or a URI
    std::string sessionRecording; // --record: a recording of this session, JSON lines
    int timeoutS = 120;
    std::string screenshot;
    std::string logFile;
    // --cpu: the CPU every thread of the run is bound to; kCpuHere binds to the CPU the
    // run starts on, kCpuAny leaves the threads to the scheduler.
    static constexpr int kCpuHere = -1;
    static constexpr int kCpuAny = -2;
    int cpu = kCpuHere;
};

// Reads argv into `o`. False, with the reason in `error`, for anything not understood:
// an unknown option, a bad value or a scenario setting. --help wins over everything.
bool ParseOptions(int argc, char** argv, Options& o, std::string& error);

// --help: the options, the scenario settings, the exit statuses and examples.
void PrintHelp();

// The words the shell completes, as the table of options lists them.
std::vector<std::string> CompletionWords();

} // namespace trm::runner
