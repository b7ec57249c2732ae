// trm415-run's options.
#include "runner/Options.h"

#include "cli/CommandLine.h"
#include "hid/PortBound.h"
#include "sim/Scenario.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace trm::runner {
namespace {

const char* const kUsageText =
    "Usage: trm415-run [OPTION]...\n"
    "Runs a complete update of a TRM415 unit with the updater's own main window, without\n"
    "an operator: presses \"Start Program \" when the unit is found, answers every message\n"
    "with OK, and reports the update phase by phase.\n"
    "\n"
    "  --simulate[=SCENARIO]  use the built-in simulated unit instead of real hardware;\n"
    "                         SCENARIO is a comma-separated list of settings (below)\n"
    "  --port=PORT            update only the unit on USB port PORT (its sysfs name, as\n"
    "                         --list shows it, e.g. 1-2.3); units on other ports are\n"
    "                         invisible to the run\n"
    "  --list                 list every TRM415 attached: port, identity, node, whether\n"
    "                         it can be opened, HID serial (with --json: one array)\n"
    "  --records=FILE         add a row for the update to the SQLite database FILE\n"
    "  --record=FILE          write a recording of the session to FILE (JSON lines), to\n"
    "                         be replayed with --simulate=replay:FILE\n"
    "  --check                look at this machine as a support engineer would: every\n"
    "                         TRM415 attached, whether it can be opened and why not,\n"
    "                         the udev rule, the seat and groups, and the cures\n"
    "  --json                 JSON lines on standard output (a summary object last);\n"
    "                         everything else goes to standard error\n"
    "  --trace                also report every HID report line of the traffic window\n"
    "  --verbose              also report the step labels, and turn on the debug log\n"
    "                         categories trm415.* on standard error\n"
    "  --log=FILE             write the whole log, at full detail, to FILE as well\n"
    "  --timeout=SECONDS      give up after SECONDS (default 120)\n"
    "  --show                 show the window (when a display exists)\n"
    "  --screenshot=FILE      save a PNG of the main window once the unit is found\n"
    "  --version              print the versions and the built-in images' SHA-256\n"
    "  --help                 print this help\n"
    "\n"
    "Scenario settings:\n";

const char* const kExitText =
    "\nExit status: 0 after \" Program OK !! \" and UpdateDone; 1 any other failure (for a\n"
    "simulated run: the unit does not hold the built-in images); 2 bad usage; 3 the unit was\n"
    "refused; 4 a boot-loader error; 5 time-out with the update under way; 6 a unit is\n"
    "present but cannot be opened; 7 no unit was found within the time-out; 8 the unit was\n"
    "unplugged during the update and did not come back. SIGINT or SIGTERM closes the window\n"
    "as its close button does and ends the run with status 1. With --check:\n"
    "0 when a unit is present and can be opened, 6 when one is present but cannot be\n"
    "opened, 7 when none is present.\n"
    "\nExamples:\n"
    "  trm415-run --simulate\n"
    "  trm415-run --simulate='identity=TRM415 V0103P 20200101'   (refused: too old)\n"
    "  trm415-run --simulate=update                              (found in its boot loader)\n"
    "  trm415-run --simulate=wrong-sum=start-program             (boot-loader error)\n"
    "  trm415-run --check\n";

bool parse(int argc, char** argv, Options& o, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](const char* name, std::string& out) {
            return cli::OptionValue(argc, argv, i, name, out);
        };
        std::string v;
        if (a == "--simulate") {
            o.simulate = true;
        } else if (a.rfind("--simulate=", 0) == 0) {
            o.simulate = true;
            o.scenarioText = a.substr(11);
        } else if (a == "--trace") {
            o.trace = true;
        } else if (a == "--json") {
            o.json = true;
        } else if (a == "--verbose" || a == "-v") {
            o.verbose = true;
        } else if (a == "--show") {
            o.show = true;
        } else if (a == "--check") {
            o.check = true;
        } else if (a == "--list") {
            o.list = true;
        } else if (a.rfind("--port", 0) == 0 && value("--port", v)) {
            if (!IsUsbPortName(v)) {
                error = "--port takes a USB port such as 1-2.3 (see --list), not '" + v + "'";
                return false;
            }
            o.port = v;
        } else if (a.rfind("--records", 0) == 0 && value("--records", v)) {
            o.records = v;
        } else if (a.rfind("--record", 0) == 0 && value("--record", v)) {
            o.recording = v;
        } else if (a == "--version") {
            o.version = true;
        } else if (a.rfind("--screenshot", 0) == 0 && value("--screenshot", v)) {
            o.screenshot = v;
        } else if (a.rfind("--log", 0) == 0 && value("--log", v)) {
            o.logFile = v;
        } else if (a.rfind("--timeout", 0) == 0) {
            if (!value("--timeout", v)) {
                error = "--timeout takes a number of seconds";
                return false;
            }
            char* end = nullptr;
            const long s = std::strtol(v.c_str(), &end, 10);
            if (v.empty() || *end != '\0' || s <= 0 || s > 86400) {
                error = "--timeout takes a number of seconds (1 to 86400)";
                return false;
            }
            o.timeoutS = static_cast<int>(s);
        } else {
            error = "unknown option '" + a + "'";
            return false;
        }
    }
    return true;
}

} // namespace

bool ParseOptions(int argc, char** argv, Options& o, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            o.help = true;
            return true;
        }
    }
    if (!parse(argc, argv, o, error)) {
        return false;
    }
    if (auto bad = sim::ParseScenario(o.scenarioText, o.scenario)) {
        error = *bad;
        return false;
    }
    return true;
}

void PrintHelp() {
    std::printf("%s%s%s", kUsageText, sim::ScenarioHelp(), kExitText);
}

} // namespace trm::runner
