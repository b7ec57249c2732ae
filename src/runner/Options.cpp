// trm415-run's options.
#include "runner/Options.h"

#include "cli/CommandLine.h"
#include "cli/OptionTable.h"
#include "hid/PortBound.h"
#include "sim/Scenario.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace trm::runner {
namespace {

const char* const kUsageText =
    "Usage: trm415-run [OPTION]...\n"
    "Updates a TRM415 unit with the updater's own main window, without an operator:\n"
    "presses \"Start Program \" when the unit is found, answers every message with\n"
    "OK, and reports the update phase by phase.\n"
    "\n";

const char* const kExitText =
    "\nExit status: 0 after \" Program OK !! \" and the unit told the update is done;\n"
    "1 any other failure (for a simulated unit also: it does not hold the built-in\n"
    "images); 2 bad usage; 3 the unit was refused; 4 a boot-loader error; 5 time-out\n"
    "with the update under way; 6 a unit is present but cannot be opened; 7 no unit\n"
    "was found within the time-out; 8 the unit was unplugged during the update and\n"
    "the update did not go on. SIGINT or SIGTERM closes the window as its close\n"
    "button does and ends the run with status 1. With --check: 0 when a unit is\n"
    "present and can be opened, 6 when one is present but cannot be opened, 7 when\n"
    "none is present. Every failure ends with what to do about it.\n"
    "\nExamples:\n"
    "  trm415-run --simulate\n"
    "  trm415-run --simulate='identity=TRM415 V0103P 20200101'  (refused: too old)\n"
    "  trm415-run --simulate=update                  (found in its boot loader)\n"
    "  trm415-run --simulate=wrong-sum=start-program (boot-loader error)\n"
    "  trm415-run --check\n";

using Entry = cli::OptionEntry<Options>;
using cli::Takes;

template <class F>
Entry flag(const char* name, const char* help, F set, const char* alias = nullptr) {
    return cli::Switch<Options>(name, help, false, set, alias);
}

template <class F> Entry text(const char* name, const char* value, const char* help, F store) {
    return cli::Stored<Options>(name, value, help, false, store);
}

const cli::OptionTable<Options>& table() {
    static const cli::OptionTable<Options> t({
        {"--simulate", Takes::OptionalValue, "SCENARIO",
         "use the built-in simulated unit instead of a real one;\n"
         "SCENARIO is a comma-separated list of settings (below)",
         false, false,
         [](Options& o, const std::string& v, std::string&) {
             o.simulate = true;
             o.scenarioText = v;
             return true;
         }},
        {"--port", Takes::Value, "PORT",
         "update only the unit on USB port PORT (as --list shows\n"
         "it, e.g. 1-2.3); units on other ports are left alone",
         false, false,
         [](Options& o, const std::string& v, std::string& error) {
             if (!IsUsbPortName(v)) {
                 error = "--port takes a USB port such as 1-2.3 (see --list), not '" + v + "'";
                 return false;
             }
             o.port = v;
             return true;
         }},
        flag("--list",
             "list every TRM415 attached: USB port, identity, device\n"
             "node, whether it can be opened, serial (--json: an array)",
             [](Options& o) { o.list = true; }),
        text("--records", "FILE|URI",
             "add a row for the update to the records: a SQLite FILE,\n"
             "or a PostgreSQL URI (postgresql://USER@HOST/DB)",
             [](Options& o, const std::string& v) { o.recordsLocation = v; }),
        text("--record", "FILE",
             "write a recording of the session to FILE (JSON lines),\n"
             "to be played back with --simulate=replay:FILE",
             [](Options& o, const std::string& v) { o.sessionRecording = v; }),
        flag("--check",
             "look at this machine as a support engineer would: every\n"
             "TRM415 attached, whether it can be opened and why not,\n"
             "the udev rule, the seat and groups, and the cures",
             [](Options& o) { o.check = true; }),
        flag("--json",
             "JSON lines on standard output (a summary object last);\n"
             "everything else goes to standard error",
             [](Options& o) { o.json = true; }),
        flag("--trace", "also report every report exchanged with the unit",
             [](Options& o) { o.trace = true; }),
        flag(
            "--verbose",
            "also report the window's steps, and the debug log\n"
            "(categories trm415.*) on standard error",
            [](Options& o) { o.verbose = true; }, "-v"),
        text("--log", "FILE", "write the whole log, at full detail, to FILE as well",
             [](Options& o, const std::string& v) { o.logFile = v; }),
        cli::Number<Options>("--timeout", "SECONDS",
                             "the limit of the whole update, from the start of the run\n"
                             "(default 120): a unit still at work then is given up",
                             false, 1, 86400, "seconds",
                             [](Options& o) -> int& { return o.timeoutS; }),
        {"--cpu", Takes::Value, "N|any",
         "run every thread of the update on CPU N (default: the\n"
         "CPU the run starts on, which makes each hand-over\n"
         "between them cheaper); any: wherever the scheduler likes",
         false, false,
         [](Options& o, const std::string& v, std::string& error) {
             if (v == "any") {
                 o.cpu = Options::kCpuAny;
             } else if (!cli::IntegerIn(v, 0, 4095, o.cpu)) {
                 error = "--cpu takes a CPU number (0 to 4095) or 'any', not '" + v + "'";
                 return false;
             }
             return true;
         }},
        flag("--show", "show the window (when a display exists)",
             [](Options& o) { o.show = true; }),
        text("--screenshot", "FILE", "save a PNG of the main window once the unit is found",
             [](Options& o, const std::string& v) { o.screenshot = v; }),
        flag("--version", "print the versions and the built-in images' SHA-256",
             [](Options& o) { o.version = true; }),
        flag("--help", "print this help", [](Options& o) { o.help = true; }),
    });
    return t;
}

} // namespace

bool ParseOptions(int argc, char** argv, Options& o, std::string& error) {
    if (cli::AsksForHelp(argc, argv)) {
        o.help = true;
        return true;
    }
    if (!table().parse(argc, argv, o, error)) {
        return false;
    }
    if (auto bad = sim::ParseScenario(o.scenarioText, o.scenario)) {
        error = *bad;
        return false;
    }
    return true;
}

void PrintHelp() {
    std::printf("%s%s\nScenario settings:\n%s%s", kUsageText, table().help().c_str(),
                sim::ScenarioHelp(), kExitText);
}

std::vector<std::string> CompletionWords() {
    return table().completionWords();
}

} // namespace trm::runner
