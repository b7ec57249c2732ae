// trm415-station's options.
#include "station/Options.h"

#include "cli/CommandLine.h"
#include "hid/PortBound.h"
#include "station/Hooks.h"

#include <QDateTime>
#include <QFile>
#include <QHostAddress>
#include <QRegularExpression>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

namespace trm::station {
namespace {

const char* const kUsageText =
    "Usage: trm415-station --slots=LABEL=PORT,...|auto [OPTION]...\n"
    "       trm415-station --simulate=N[:SCENARIO] [OPTION]...\n"
    "       trm415-station --report[=csv] [FILTER]... [--records=FILE]\n"
    "Updates TRM415 units on many USB ports at once. Each unit plugged into a slot\n"
    "is updated on its own, bound to the slot's port; when its update has ended and\n"
    "it has been unplugged, the slot waits for the next unit. Every update is\n"
    "recorded.\n"
    "\n"
    "  --slots=LABEL=PORT,...  the slots: a label and a USB port each, such as\n"
    "                        A=1-1.1 (trm415-run --list shows the ports)\n"
    "  --slots=auto          each port a TRM415 appears on becomes a slot\n"
    "  --simulate=N[:SCENARIO]  N slots with simulated units (settings as in\n"
    "                        trm415-run --help); a new unit is plugged in as soon\n"
    "                        as one has finished\n"
    "  --simulate-slot=K:SCENARIO  settings for simulated slot K (from 1) alone\n"
    "  --units=M             stop after M units in all\n"
    "  --records=FILE        the records database (default\n"
    "                        ./trm415-records.sqlite)\n"
    "                        or a PostgreSQL URI: postgresql://USER@HOST/DB, or\n"
    "                        postgresql:///?service=NAME (never a password: see\n"
    "                        man trm415-station)\n"
    "  --name=NAME           the station's name in the records (default: the host)\n"
    "  --state-dir=DIR       the spool of rows on their way to the records server\n"
    "                        (default: $STATE_DIRECTORY or ~/.local/state/trm415)\n"
    "  --record-dir=DIR      a recording of each unit's session in DIR\n"
    "  --timeout=SECONDS     the limit of each unit's whole update (default 120);\n"
    "                        a unit still at work then is stopped as timed out\n"
    "  --json                one JSON object per change on standard output\n"
    "  --config=FILE         the settings in FILE (NAME = VALUE lines, named as these\n"
    "                        options); the command line overrides them\n"
    "  --log=FILE            write the whole log, at full detail, to FILE as well\n"
    "  --verbose             the debug log (trm415.*) on standard error\n"
    "  --no-bell             no terminal bell when an update fails\n"
    "  --http=HOST:PORT      serve the station's live page and its API, such as\n"
    "                        127.0.0.1:8415 (:8415: on every address)\n"
    "  --on-start=COMMAND    run COMMAND when an update begins, and\n"
    "  --on-result=COMMAND   when it has ended, with TRM_SLOT, TRM_PORT, TRM_SERIAL,\n"
    "                        TRM_RESULT, TRM_EXIT_STATUS, TRM_MESSAGE and\n"
    "                        TRM_RECORD_ID set (no shell; killed after 10 s)\n"
    "  --runner=PROGRAM      the trm415-run to use (default: the one beside this\n"
    "                        program)\n"
    "  --report[=csv]        print the records: totals and rows (UTC), or CSV\n"
    "    --serial=TEXT       only this unit's rows\n"
    "    --slot=LABEL        only this slot's rows\n"
    "    --result=RESULT     only rows with this result (ok, refused, ...)\n"
    "    --station=NAME      only this station's rows\n"
    "    --since=DATE        only rows begun on or after DATE (UTC, 2026-12-09 or\n"
    "                        2026-12-09T14:00)\n"
    "  --version, --help\n"
    "\n"
    "SIGHUP: once the updates under way have ended, the station starts again with its\n"
    "configuration read anew.\n"
    "SIGINT or SIGTERM: no new update starts and those under way run to their end; a\n"
    "second one closes them as the window's close does (a unit closed in the middle\n"
    "of its firmware waits in its boot loader: plug it into any slot to finish).\n"
    "\n"
    "Exit status: 0 every update ended ok; 1 one or more did not (or a record could\n"
    "not be written); 2 bad usage, or the records database cannot be opened or\n"
    "written.\n"
    "\n"
    "Examples:\n"
    "  trm415-station --slots=A=1-1.1,B=1-1.2,C=1-1.3,D=1-1.4\n"
    "  trm415-station --simulate=4 --units=8\n"
    "  trm415-station --report --result=failed --since=2026-12-09\n"
    "  trm415-station --report=csv > updates.csv\n";

bool parseSlots(const QString& text, StationOptions& o, std::string& error) {
    if (text == "auto") {
        o.autoSlots = true;
        return true;
    }
    std::set<QString> labels, ports;
    for (const QString& item : text.split(',', Qt::SkipEmptyParts)) {
        const qsizetype eq = item.indexOf('=');
        const QString label = eq > 0 ? item.left(eq) : QString();
        const QString port = eq > 0 ? item.mid(eq + 1) : QString();
        if (label.isEmpty() || !IsUsbPortName(port.toStdString())) {
            error = "a slot is LABEL=PORT with a USB port such as 1-2.3, not '" +
                    item.toStdString() + "'";
            return false;
        }
        if (!labels.insert(label).second || !ports.insert(port).second) {
            error = "slot '" + item.toStdString() + "' repeats a label or a port";
            return false;
        }
        o.slotConfigs.push_back({label, port, {}});
    }
    if (o.slotConfigs.empty()) {
        error = "--slots names no slot";
        return false;
    }
    return true;
}

// What reading the options gathers before their checks as a whole.
struct ParseState {
    std::vector<std::pair<int, QString>> slotScenarios;
    bool slotsGiven = false;
    bool inConfig = false;        // reading the configuration file
    bool slotsFromConfig = false; // --slots on the command line replaces them
};

// Reads `args` (args[0] is the program) into `o`.
bool readArgs(const std::vector<std::string>& args, Options& o, ParseState& st,
              std::string& error) {
    std::vector<char*> ptrs;
    for (const std::string& a : args) {
        ptrs.push_back(const_cast<char*>(a.c_str()));
    }
    const int argc = static_cast<int>(ptrs.size());
    char** argv = ptrs.data();
    auto& slotScenarios = st.slotScenarios;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](const char* name, std::string& out) {
            return cli::OptionValue(argc, argv, i, name, out);
        };
        std::string v;
        int n = 0;
        if (a == "--json") {
            o.json = true;
        } else if (a == "--version") {
            o.version = true;
        } else if (a == "--report" || a == "--report=text") {
            o.report = true;
        } else if (a == "--report=csv") {
            o.report = o.csv = true;
        } else if (a.rfind("--report=", 0) == 0) {
            error = "--report takes text or csv, not '" + a.substr(9) + "'";
            return false;
        } else if (a.rfind("--name", 0) == 0 && value("--name", v)) {
            o.station.name = QString::fromStdString(v);
        } else if (a.rfind("--station", 0) == 0 && value("--station", v)) {
            o.filter.station = QString::fromStdString(v);
        } else if (a.rfind("--state-dir", 0) == 0 && value("--state-dir", v)) {
            o.stateDir = QString::fromStdString(v);
        } else if (a == "--verbose" || a == "-v") {
            o.verbose = true;
        } else if (a.rfind("--log", 0) == 0 && value("--log", v)) {
            o.logFile = v;
        } else if (a.rfind("--config", 0) == 0 && value("--config", v)) {
            if (st.inConfig) {
                error = "a configuration does not name another";
                return false;
            }
            // Read before the command line (ParseOptions).
        } else if (a.rfind("--http", 0) == 0 && value("--http", v)) {
            o.http = QString::fromStdString(v);
            QHostAddress host;
            quint16 port = 0;
            QString why;
            if (!ParseHttpAddress(o.http, host, port, why)) {
                error = why.toStdString();
                return false;
            }
        } else if (a.rfind("--on-start", 0) == 0 && value("--on-start", v)) {
            o.onStart = QString::fromStdString(v);
            QString why;
            if (!ParseHook(o.onStart, why)) {
                error = "--on-start: " + why.toStdString();
                return false;
            }
        } else if (a.rfind("--on-result", 0) == 0 && value("--on-result", v)) {
            o.onResult = QString::fromStdString(v);
            QString why;
            if (!ParseHook(o.onResult, why)) {
                error = "--on-result: " + why.toStdString();
                return false;
            }
        } else if (a == "--no-bell") {
            o.bell = false;
        } else if (a.rfind("--serial", 0) == 0 && value("--serial", v)) {
            o.filter.serial = QString::fromStdString(v);
        } else if (a.rfind("--slot=", 0) == 0 && value("--slot", v)) {
            o.filter.slot = QString::fromStdString(v);
        } else if (a.rfind("--result", 0) == 0 && value("--result", v)) {
            o.filter.result = QString::fromStdString(v);
        } else if (a.rfind("--since", 0) == 0 && value("--since", v)) {
            o.filter.since = ParseSince(QString::fromStdString(v));
            if (!o.filter.since.isValid()) {
                error =
                    "--since takes a date such as 2026-12-09 or 2026-12-09T14:00, not '" + v + "'";
                return false;
            }
        } else if (a == "--slots=" || (a == "--slots" && i + 1 >= argc)) {
            error = "--slots takes LABEL=PORT,... (such as A=1-1.1,B=1-1.2) or auto";
            return false;
        } else if (a.rfind("--slots", 0) == 0 && value("--slots", v)) {
            if (st.slotsFromConfig && !st.inConfig) {
                o.station.slotConfigs.clear();
                o.station.autoSlots = false;
                st.slotsFromConfig = false;
            }
            if (!parseSlots(QString::fromStdString(v), o.station, error)) {
                return false;
            }
            st.slotsGiven = true;
            st.slotsFromConfig = st.inConfig;
        } else if (a.rfind("--simulate-slot", 0) == 0 && value("--simulate-slot", v)) {
            const auto colon = v.find(':');
            if (colon == std::string::npos || !cli::IntegerIn(v.substr(0, colon), 1, 64, n)) {
                error = "--simulate-slot takes K:SCENARIO, K a slot number from 1";
                return false;
            }
            slotScenarios.emplace_back(n, QString::fromStdString(v.substr(colon + 1)));
        } else if (a.rfind("--simulate", 0) == 0 && value("--simulate", v)) {
            if (st.slotsFromConfig && !st.inConfig) {
                // Simulated slots on the command line stand in for the configured ones.
                o.station.slotConfigs.clear();
                o.station.autoSlots = false;
                st.slotsFromConfig = false;
                st.slotsGiven = false;
            }
            const auto colon = v.find(':');
            if (!cli::IntegerIn(v.substr(0, colon), 1, 64, o.simulated)) {
                error = "--simulate takes N[:SCENARIO], N from 1 to 64";
                return false;
            }
            o.scenario = colon == std::string::npos ? QString()
                                                    : QString::fromStdString(v.substr(colon + 1));
        } else if (a.rfind("--units", 0) == 0 && value("--units", v)) {
            if (!cli::IntegerIn(v, 1, 1000000, o.station.units)) {
                error = "--units takes a number of units from 1";
                return false;
            }
        } else if (a.rfind("--timeout", 0) == 0 && value("--timeout", v)) {
            if (!cli::IntegerIn(v, 1, 86400, n)) {
                error = "--timeout takes a number of seconds (1 to 86400)";
                return false;
            }
            o.station.runnerArgs << QString("--timeout=%1").arg(n);
        } else if (a.rfind("--records", 0) == 0 && value("--records", v)) {
            o.records = QString::fromStdString(v);
        } else if (a.rfind("--record-dir", 0) == 0 && value("--record-dir", v)) {
            o.station.recordingDir = QString::fromStdString(v);
        } else if (a.rfind("--runner", 0) == 0 && value("--runner", v)) {
            o.station.runner = QString::fromStdString(v);
        } else {
            error = "unknown option '" + a + "'";
            return false;
        }
    }
    return true;
}

// The checks of the options as a whole, and the simulated slots they make.
bool finishOptions(Options& o, ParseState& st, std::string& error) {
    const auto& slotScenarios = st.slotScenarios;
    if (o.report || o.version) {
        return true;
    }
    if (st.slotsGiven == (o.simulated > 0)) {
        error = "give either --slots or --simulate";
        return false;
    }
    if (o.simulated > 0) {
        o.station.simulate = true;
        for (int k = 1; k <= o.simulated; ++k) {
            // Each simulated unit is plugged into its own port: the runners are bound
            // to them as on a real line.
            o.station.slotConfigs.push_back(
                {QString("S%1").arg(k), QString("1-%1").arg(k), o.scenario});
        }
    }
    for (const auto& [k, scenario] : slotScenarios) {
        if (!o.station.simulate || k > o.simulated) {
            error = "--simulate-slot names a slot that is not simulated";
            return false;
        }
        o.station.slotConfigs[static_cast<std::size_t>(k - 1)].scenario = scenario;
    }
    return true;
}

// The configuration file: "name = value" lines (or a name alone, for a switch) named as
// the long options are, comments from '#'. An error names the file and the line.
bool readConfig(const std::string& path, Options& o, ParseState& st, std::string& error) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        error = "cannot read the configuration " + path + ": " + file.errorString().toStdString();
        return false;
    }
    static const QRegularExpression name("^[a-z][a-z-]*$");
    static const std::set<QString> notThere{"config", "help",   "version", "report", "serial",
                                            "slot",   "result", "since",   "station"};
    st.inConfig = true;
    int number = 0;
    while (!file.atEnd()) {
        ++number;
        QString line = QString::fromUtf8(file.readLine());
        if (const qsizetype hash = line.indexOf('#'); hash >= 0) {
            line.truncate(hash);
        }
        line = line.trimmed();
        if (line.isEmpty()) {
            continue;
        }
        const qsizetype eq = line.indexOf('=');
        const QString key = (eq < 0 ? line : line.left(eq)).trimmed();
        const QString value = eq < 0 ? QString() : line.mid(eq + 1).trimmed();
        std::string why;
        if (!name.match(key).hasMatch() || notThere.count(key) > 0) {
            why = "'" + key.toStdString() + "' is not a setting of the configuration";
        } else if (eq >= 0 && value.isEmpty()) {
            why = "'" + key.toStdString() + "' has no value";
        } else {
            const std::string arg =
                "--" + key.toStdString() + (eq < 0 ? std::string() : "=" + value.toStdString());
            readArgs({"trm415-station", arg}, o, st, why);
            if (why.rfind("unknown option", 0) == 0) {
                why = "'" + key.toStdString() + "' is not a setting of the configuration";
            }
        }
        if (!why.empty()) {
            error = path + ":" + std::to_string(number) + ": " + why;
            return false;
        }
    }
    st.inConfig = false;
    return true;
}

} // namespace

bool ParseHttpAddress(const QString& text, QHostAddress& host, quint16& port, QString& error) {
    const qsizetype colon = text.lastIndexOf(':');
    bool ok = false;
    const int p = colon < 0 ? 0 : text.mid(colon + 1).toInt(&ok);
    if (colon < 0 || !ok || p < 0 || p > 65535) {
        error = "--http takes HOST:PORT (such as 127.0.0.1:8415), or :PORT for every address";
        return false;
    }
    QString h = text.left(colon);
    if (h.startsWith('[') && h.endsWith(']')) {
        h = h.mid(1, h.size() - 2);
    }
    if (h.isEmpty()) {
        host = QHostAddress::Any;
    } else if (h == "localhost") {
        host = QHostAddress::LocalHost;
    } else if (!host.setAddress(h)) {
        error = "--http takes an IP address, not '" + h.left(64) + "'";
        return false;
    }
    port = static_cast<quint16>(p);
    return true;
}

bool ParseOptions(int argc, char** argv, Options& o, std::string& error) {
    if (cli::AsksForHelp(argc, argv)) {
        o.help = true;
        return true;
    }
    ParseState st;
    std::vector<std::string> args(argv, argv + argc);
    // The configuration first: what the command line says overrides it.
    for (int i = 1; i < argc; ++i) {
        std::string path;
        if (std::string(argv[i]).rfind("--config", 0) == 0 &&
            cli::OptionValue(argc, argv, i, "--config", path)) {
            o.config = QString::fromStdString(path);
            if (!readConfig(path, o, st, error)) {
                return false;
            }
        }
    }
    return readArgs(args, o, st, error) && finishOptions(o, st, error);
}

void PrintHelp() {
    std::fputs(kUsageText, stdout);
}

} // namespace trm::station
