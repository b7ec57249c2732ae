// trm415-station's options: one table, from which the command line and the
// configuration file are read and --help and the completion's words are made.
#include "station/Options.h"

#include "cli/CommandLine.h"
#include "cli/OptionTable.h"
#include "cli/Terminal.h"
#include "hid/PortBound.h"
#include "station/Hooks.h"

#include <QDateTime>
#include <QFile>
#include <QHostAddress>

#include <cstdio>
#include <set>

namespace trm::station {
namespace {

const char* const kUsageText =
    "Usage: trm415-station --slots=LABEL=PORT,...|auto [OPTION]...\n"
    "       trm415-station --simulate=N[:SCENARIO] [OPTION]...\n"
    "       trm415-station --report[=csv|jsonl] [FILTER]... [--records=FILE]\n"
    "Updates TRM415 units on many USB ports at once. Each unit plugged into a slot\n"
    "is updated on its own, bound to the slot's port; when its update has ended and\n"
    "it has been unplugged, the slot waits for the next unit. Every update is\n"
    "recorded.\n"
    "\n";

const char* const kAfterOptions =
    "\n"
    "An option given twice is refused, but --simulate-slot, which is given once for\n"
    "each slot it sets. In the configuration file each setting is a line NAME = VALUE\n"
    "named as the option, a switch its name alone; the command line overrides it, and\n"
    "--slots or --simulate there replaces the configuration's slots.\n"
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
    "  trm415-station --report=csv > updates.csv\n"
    "  trm415-station --report=jsonl --serial=U-1042\n";

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

// Two slots on one unit would have two runners write to it at once: no slot's port may
// be another's, nor lie behind it (a port behind a hub's port: 1-1.2 behind 1-1).
bool slotsApart(const std::vector<SlotConfig>& list, std::string& error) {
    auto within = [](const QString& port, const QString& hub) {
        return port == hub || port.startsWith(hub + ".");
    };
    for (std::size_t i = 0; i < list.size(); ++i) {
        for (std::size_t j = i + 1; j < list.size(); ++j) {
            const SlotConfig& a = list[i];
            const SlotConfig& b = list[j];
            if (a.label == b.label || within(a.port, b.port) || within(b.port, a.port)) {
                error = QString("slots %1=%2 and %3=%4 overlap: %5")
                            .arg(a.label, a.port, b.label, b.port,
                                 a.label == b.label ? "one label for two slots"
                                 : a.port == b.port ? "one port for two slots"
                                                    : "one port lies behind the other")
                            .toStdString();
                return false;
            }
        }
    }
    return true;
}

// What reading the options fills in: the options, and what is gathered before their
// checks as a whole.
struct Reading {
    explicit Reading(Options& options) : o(options) {}
    Options& o;
    std::vector<std::pair<int, QString>> slotScenarios;
    bool slotsGiven = false;
    bool inConfig = false;        // reading the configuration file
    bool slotsFromConfig = false; // --slots on the command line replaces them
    int timeoutS = 0;             // 0: the runner's own
};

using Entry = cli::OptionEntry<Reading>;
using cli::Takes;

// Options that only store their text, or set a switch, in Options.
template <class F>
Entry text(const char* name, const char* value, const char* help, bool inConfig, F store,
           const char* section = "") {
    auto into = [store](Reading& r, const std::string& v) {
        store(r.o, QString::fromStdString(v));
    };
    return cli::Stored<Reading>(name, value, help, inConfig, into, section);
}

template <class F> Entry flag(const char* name, const char* help, bool inConfig, F set) {
    return cli::Switch<Reading>(name, help, inConfig, [set](Reading& r) { set(r.o); });
}

// A time of the records' filters: a date, or a date and time, UTC.
template <class F> Entry time(const char* name, const char* help, F field) {
    return {name,
            Takes::Value,
            "DATE",
            help,
            false,
            false,
            [name, field](Reading& r, const std::string& v, std::string& error) {
                QDateTime& t = field(r.o);
                t = records::ParseUtcTime(QString::fromStdString(v));
                if (!t.isValid()) {
                    error = std::string(name) +
                            " takes a date such as 2026-12-09 or 2026-12-09T14:00, not '" + v + "'";
                    return false;
                }
                return true;
            }};
}

bool hook(QString& into, const char* name, const std::string& v, std::string& error) {
    into = QString::fromStdString(v);
    QString why;
    if (!ParseHook(into, why)) {
        error = std::string(name) + ": " + why.toStdString();
        return false;
    }
    return true;
}

// Slots given on the command line stand in for the configured ones.
void replaceConfiguredSlots(Reading& r) {
    if (r.slotsFromConfig && !r.inConfig) {
        r.o.station.slotConfigs.clear();
        r.o.station.autoSlots = false;
        r.slotsFromConfig = false;
        r.slotsGiven = false;
    }
}

const cli::OptionTable<Reading>& table() {
    static const cli::OptionTable<Reading> t({
        {"--slots", Takes::Value, "LABEL=PORT,...|auto",
         "the slots: a label and a USB port each, such as\n"
         "A=1-1.1 (trm415-run --list shows the ports); auto:\n"
         "each port a TRM415 appears on becomes a slot",
         false, true,
         [](Reading& r, const std::string& v, std::string& error) {
             replaceConfiguredSlots(r);
             if (!parseSlots(QString::fromStdString(v), r.o.station, error)) {
                 return false;
             }
             r.slotsGiven = true;
             r.slotsFromConfig = r.inConfig;
             return true;
         }},
        {"--simulate", Takes::Value, "N[:SCENARIO]",
         "N slots with simulated units (settings as in\n"
         "trm415-run --help); a new unit is plugged in as soon\n"
         "as one has finished",
         false, true,
         [](Reading& r, const std::string& v, std::string& error) {
             replaceConfiguredSlots(r);
             const auto colon = v.find(':');
             if (!cli::IntegerIn(v.substr(0, colon), 1, 64, r.o.simulated)) {
                 error = "--simulate takes N[:SCENARIO], N from 1 to 64";
                 return false;
             }
             r.o.scenario = colon == std::string::npos
                                ? QString()
                                : QString::fromStdString(v.substr(colon + 1));
             return true;
         }},
        {"--simulate-slot", Takes::Value, "K:SCENARIO",
         "settings for simulated slot K (from 1) alone; once\nfor each slot", true, true,
         [](Reading& r, const std::string& v, std::string& error) {
             const auto colon = v.find(':');
             int k = 0;
             if (colon == std::string::npos || !cli::IntegerIn(v.substr(0, colon), 1, 64, k)) {
                 error = "--simulate-slot takes K:SCENARIO, K a slot number from 1";
                 return false;
             }
             r.slotScenarios.emplace_back(k, QString::fromStdString(v.substr(colon + 1)));
             return true;
         }},
        cli::Number<Reading>("--units", "M", "stop after M units in all", true, 1, 1000000, "units",
                             [](Reading& r) -> int& { return r.o.station.units; }),
        text("--records", "FILE|URI",
             "the records database (default ./trm415-records.sqlite)\n"
             "or a PostgreSQL URI: postgresql://USER@HOST/DB, or\n"
             "postgresql:///?service=NAME (never a password: see\n"
             "man trm415-station)",
             true, [](Options& o, const QString& v) { o.records = v; }),
        text("--name", "NAME", "the station's name in the records (default: the host)", true,
             [](Options& o, const QString& v) { o.station.name = v; }),
        text("--state-dir", "DIR",
             "the spool of rows on their way to the records server\n"
             "(default: $STATE_DIRECTORY or ~/.local/state/trm415)",
             true, [](Options& o, const QString& v) { o.stateDir = v; }),
        text("--record-dir", "DIR", "a recording of each unit's session in DIR", true,
             [](Options& o, const QString& v) { o.station.recordingDir = v; }),
        cli::Number<Reading>("--timeout", "SECONDS",
                             "the limit of each unit's whole update (default 120);\n"
                             "a unit still at work then is stopped as timed out",
                             true, 1, 86400, "seconds",
                             [](Reading& r) -> int& { return r.timeoutS; }),
        flag("--json", "one JSON object per change on standard output", true,
             [](Options& o) { o.json = true; }),
        {"--config", Takes::Value, "FILE",
         "the settings in FILE (NAME = VALUE lines, named as these\n"
         "options); the command line overrides them",
         false, false,
         [](Reading&, const std::string&, std::string&) {
             return true; // read before the command line (ParseOptions)
         }},
        {"--log", Takes::Value, "FILE", "write the whole log, at full detail, to FILE as well",
         false, true,
         [](Reading& r, const std::string& v, std::string&) {
             r.o.logFile = v;
             return true;
         }},
        {"--verbose", Takes::Nothing, nullptr, "the debug log (trm415.*) on standard error", false,
         true,
         [](Reading& r, const std::string&, std::string&) {
             r.o.verbose = true;
             return true;
         },
         "-v"},
        flag("--no-bell", "no terminal bell when an update fails", true,
             [](Options& o) { o.bell = false; }),
        {"--http", Takes::Value, "HOST:PORT",
         "serve the station's live page and its API, such as\n"
         "127.0.0.1:8415 (:8415: on every address)",
         false, true,
         [](Reading& r, const std::string& v, std::string& error) {
             r.o.http = QString::fromStdString(v);
             QHostAddress host;
             quint16 port = 0;
             QString why;
             if (!ParseHttpAddress(r.o.http, host, port, why)) {
                 error = why.toStdString();
                 return false;
             }
             return true;
         }},
        {"--http-host", Takes::Value, "NAME,...",
         "a name the page is also reached by, such as a DNS alias\n"
         "(it always answers to this machine's names and addresses\n"
         "and to localhost; a request naming another host is\n"
         "refused); each adds to the last",
         true, true,
         [](Reading& r, const std::string& v, std::string& error) {
             for (const QString& name : QString::fromStdString(v).split(',')) {
                 if (!HostNameText(name.trimmed())) {
                     error = "--http-host takes host names or addresses, not '" +
                             cli::Visible(name.left(64)).toStdString() + "'";
                     return false;
                 }
                 r.o.httpHosts.append(name.trimmed());
             }
             return true;
         }},
        {"--on-start", Takes::Value, "COMMAND", "run COMMAND when an update has its unit, and",
         false, true,
         [](Reading& r, const std::string& v, std::string& error) {
             return hook(r.o.onStart, "--on-start", v, error);
         }},
        {"--on-result", Takes::Value, "COMMAND",
         "when it has ended, with TRM_SLOT, TRM_PORT, TRM_SERIAL,\n"
         "TRM_RESULT, TRM_EXIT_STATUS, TRM_MESSAGE and\n"
         "TRM_RECORD_ID set (no shell; killed after 10 s)",
         false, true,
         [](Reading& r, const std::string& v, std::string& error) {
             return hook(r.o.onResult, "--on-result", v, error);
         }},
        text("--runner", "PROGRAM", "the trm415-run to use (default: the one beside this\nprogram)",
             true, [](Options& o, const QString& v) { o.station.runner = v; }),
        flag("--version", "print the version", false, [](Options& o) { o.version = true; }),
        flag("--help", "print this help", false, [](Options& o) { o.help = true; }),
        {"--report", Takes::OptionalValue, "csv|jsonl",
         "print the records, newest first: rows and totals\n"
         "(UTC), or CSV, or JSON lines (one object a row)",
         false, false,
         [](Reading& r, const std::string& v, std::string& error) {
             if (v != "" && v != "text" && v != "csv" && v != "jsonl") {
                 error = "--report takes text, csv or jsonl, not '" + v + "'";
                 return false;
             }
             r.o.report = true;
             r.o.reportFormat = v == "csv"     ? ReportFormat::Csv
                                : v == "jsonl" ? ReportFormat::JsonLines
                                               : ReportFormat::Text;
             return true;
         },
         nullptr, "Reading the records:"},
        text("--serial", "TEXT", "only this unit's rows", false,
             [](Options& o, const QString& v) { o.filter.serial = v; }),
        text("--slot", "LABEL", "only this slot's rows", false,
             [](Options& o, const QString& v) { o.filter.slot = v; }),
        text("--result", "RESULT",
             "only rows with this result (ok, refused, ...; failed:\nevery failure)", false,
             [](Options& o, const QString& v) { o.filter.result = v; }),
        text("--station", "NAME", "only this station's rows", false,
             [](Options& o, const QString& v) { o.filter.station = v; }),
        time("--since", "only rows begun on or after DATE (UTC, 2026-12-09 or\n2026-12-09T14:00)",
             [](Options& o) -> QDateTime& { return o.filter.since; }),
        time("--until", "only rows begun before DATE (UTC)",
             [](Options& o) -> QDateTime& { return o.filter.until; }),
    });
    return t;
}

// The checks of the options as a whole, and the simulated slots they make.
bool finishOptions(Reading& r, std::string& error) {
    Options& o = r.o;
    if (r.timeoutS > 0) {
        o.station.runnerArgs << QString("--timeout=%1").arg(r.timeoutS);
    }
    if (o.report || o.version) {
        return true;
    }
    if (r.slotsGiven == (o.simulated > 0)) {
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
    for (const auto& [k, scenario] : r.slotScenarios) {
        if (!o.station.simulate || k > o.simulated) {
            error = "--simulate-slot names a slot that is not simulated";
            return false;
        }
        o.station.slotConfigs[static_cast<std::size_t>(k - 1)].scenario = scenario;
    }
    return slotsApart(o.station.slotConfigs, error);
}

// The configuration file: "name = value" lines (or a name alone, for a switch) named as
// the long options are, comments from '#'. An error names the file and the line.
bool readConfig(const std::string& path, Reading& r, std::string& error) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        error = "cannot read the configuration " + path + ": " + file.errorString().toStdString();
        return false;
    }
    r.inConfig = true;
    std::set<const Entry*> given;
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
        if (!table().applySetting(key, eq >= 0, value, r, why, given)) {
            error = path + ":" + std::to_string(number) + ": " + why;
            return false;
        }
    }
    r.inConfig = false;
    return true;
}

} // namespace

bool HostNameText(const QString& name) {
    if (name.isEmpty() || name.size() > 253) {
        return false;
    }
    if (QHostAddress(name.startsWith('[') && name.endsWith(']') ? name.mid(1, name.size() - 2)
                                                                : name)
            .isNull()) {
        for (const QChar c : name) {
            if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != '-' && c != '.' && c != '_') {
                return false;
            }
        }
    }
    return true;
}

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
    Reading r(o);
    // The configuration first: what the command line says overrides it.
    for (int i = 1; i < argc; ++i) {
        std::string path;
        if (std::string(argv[i]).rfind("--config", 0) == 0 &&
            cli::OptionValue(argc, argv, i, "--config", path)) {
            o.config = QString::fromStdString(path);
            if (!readConfig(path, r, error)) {
                return false;
            }
        }
    }
    return table().parse(argc, argv, r, error) && finishOptions(r, error);
}

void PrintHelp() {
    std::fputs(kUsageText, stdout);
    std::fputs(table().help().c_str(), stdout);
    std::fputs(kAfterOptions, stdout);
}

std::vector<std::string> CompletionWords() {
    return table().completionWords();
}

std::vector<std::string> ConfigurationKeys() {
    return table().configKeys();
}

} // namespace trm::station
