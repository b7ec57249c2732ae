// trm415-station: updates many TRM415 units at once on a production line. Each slot is
// a USB port; each unit plugged into a slot is updated by its own trm415-run process,
// bound to that port, and every update is recorded in a SQLite database.
#include "hid/PortBound.h"
#include "hid/linux/LinuxHidBackend.h"
#include "runner/CommandLine.h"
#include "runner/Records.h"
#include "runner/Signals.h"
#include "runner/Station.h"
#include "runner/StationView.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <unistd.h>

using namespace trm;
using namespace trm::runner;

namespace {

enum Exit { kAllOk = 0, kNotAllOk = 1, kUsage = 2 };

const char* const kUsageText =
    "Usage: trm415-station --slots=LABEL=PORT,...|auto [OPTION]...\n"
    "       trm415-station --simulate=N[:SCENARIO] [OPTION]...\n"
    "       trm415-station --report[=csv] [--records=FILE]\n"
    "Updates TRM415 units on many USB ports at once. Each unit plugged into a slot is\n"
    "updated by its own trm415-run, bound to the slot's port; when its update has ended and\n"
    "it has been unplugged, the slot waits for the next unit. Every update is recorded.\n"
    "\n"
    "  --slots=LABEL=PORT,... the slots: a label and a USB port each (see trm415-run --list)\n"
    "  --slots=auto           each port a TRM415 appears on becomes a slot\n"
    "  --simulate=N[:SCENARIO]  N simulated slots, each runner with its own simulated unit\n"
    "                         (settings as in trm415-run --help); a new unit is plugged in\n"
    "                         as soon as one has finished\n"
    "  --simulate-slot=K:SCENARIO  settings for simulated slot K (from 1) alone\n"
    "  --units=M              stop after M units in all\n"
    "  --records=FILE         the records database (default ./trm415-records.sqlite)\n"
    "  --record-dir=DIR       a recording of each unit's session in DIR\n"
    "  --timeout=SECONDS      each unit's time-out (trm415-run's default: 120)\n"
    "  --json                 one JSON object per change on standard output\n"
    "  --runner=PROGRAM       the trm415-run to use (default: the one beside this program)\n"
    "  --report[=csv]         print the totals and the rows of the records database\n"
    "  --version, --help\n"
    "\n"
    "SIGINT or SIGTERM: no new update starts and those under way run to their end; a\n"
    "second one closes them as the window's close does.\n"
    "\n"
    "Exit status: 0 every update ended ok; 1 one or more did not (or a record could not\n"
    "be written); 2 bad usage, or the records database cannot be opened or written.\n"
    "\n"
    "Examples:\n"
    "  trm415-station --slots=A=1-1.1,B=1-1.2,C=1-1.3,D=1-1.4\n"
    "  trm415-station --simulate=4 --units=8\n"
    "  trm415-station --report=csv > updates.csv\n";

struct Options {
    StationOptions station;
    QString records = kDefaultRecordsFile;
    bool json = false;
    bool report = false;
    bool csv = false;
    bool version = false;
    int simulated = 0;
    QString scenario;
};

bool number(const std::string& s, int low, int high, int& out) {
    char* end = nullptr;
    const long v = std::strtol(s.c_str(), &end, 10);
    if (s.empty() || *end != '\0' || v < low || v > high) {
        return false;
    }
    out = static_cast<int>(v);
    return true;
}

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

bool parse(int argc, char** argv, Options& o, std::string& error) {
    std::vector<std::pair<int, QString>> slotScenarios;
    bool slotsGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](const char* name, std::string& out) {
            return OptionValue(argc, argv, i, name, out);
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
        } else if (a.rfind("--slots", 0) == 0 && value("--slots", v)) {
            if (!parseSlots(QString::fromStdString(v), o.station, error)) {
                return false;
            }
            slotsGiven = true;
        } else if (a.rfind("--simulate-slot", 0) == 0 && value("--simulate-slot", v)) {
            const auto colon = v.find(':');
            if (colon == std::string::npos || !number(v.substr(0, colon), 1, 64, n)) {
                error = "--simulate-slot takes K:SCENARIO, K a slot number from 1";
                return false;
            }
            slotScenarios.emplace_back(n, QString::fromStdString(v.substr(colon + 1)));
        } else if (a.rfind("--simulate", 0) == 0 && value("--simulate", v)) {
            const auto colon = v.find(':');
            if (!number(v.substr(0, colon), 1, 64, o.simulated)) {
                error = "--simulate takes N[:SCENARIO], N from 1 to 64";
                return false;
            }
            o.scenario = colon == std::string::npos ? QString()
                                                    : QString::fromStdString(v.substr(colon + 1));
        } else if (a.rfind("--units", 0) == 0 && value("--units", v)) {
            if (!number(v, 1, 1000000, o.station.units)) {
                error = "--units takes a number of units from 1";
                return false;
            }
        } else if (a.rfind("--timeout", 0) == 0 && value("--timeout", v)) {
            if (!number(v, 1, 86400, n)) {
                error = "--timeout takes a number of seconds (1 to 86400)";
                return false;
            }
            o.station.runnerArgs << QString("--timeout=%1").arg(n);
        } else if (a.rfind("--records", 0) == 0 && value("--records", v)) {
            o.records = QString::fromStdString(v);
        } else if (a.rfind("--record-dir", 0) == 0 && value("--record-dir", v)) {
            o.station.recordDir = QString::fromStdString(v);
        } else if (a.rfind("--runner", 0) == 0 && value("--runner", v)) {
            o.station.runner = QString::fromStdString(v);
        } else {
            error = "unknown option '" + a + "'";
            return false;
        }
    }
    if (o.report || o.version) {
        return true;
    }
    if (slotsGiven == (o.simulated > 0)) {
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

// The trm415-run beside this program (as built and as installed), else on the PATH.
QString findRunner() {
    const QString beside = QDir(QCoreApplication::applicationDirPath()).filePath("trm415-run");
    if (QFileInfo(beside).isExecutable()) {
        return beside;
    }
    return QStandardPaths::findExecutable("trm415-run");
}

QString csvField(const QString& s) {
    if (!s.contains(',') && !s.contains('"') && !s.contains('\n')) {
        return s;
    }
    return "\"" + QString(s).replace("\"", "\"\"") + "\"";
}

int printReport(RecordStore& store, bool csv) {
    QString error;
    const auto rows = store.all(error);
    if (!rows) {
        std::fprintf(stderr, "trm415-station: cannot read the records: %s\n",
                     error.toLocal8Bit().constData());
        return kUsage;
    }
    auto num = [](int v) { return v < 0 ? QString() : QString::number(v); };
    if (csv) {
        QStringList header{"id",         "start_utc",  "end_utc",  "host",      "slot",
                           "port",       "serial",     "identity", "unit_type", "image_pair",
                           "mcu_sha256", "dsp_sha256", "result",   "message",   "exit_status"};
        for (const char* p : kRecordedPhases) {
            header << QString::fromLatin1(p).replace('-', '_') + "_s";
        }
        std::printf("%s\n", header.join(',').toLocal8Bit().constData());
        for (const UpdateRecord& r : *rows) {
            QStringList f{r.id,
                          r.start.toString(Qt::ISODateWithMs),
                          r.end.isValid() ? r.end.toString(Qt::ISODateWithMs) : QString(),
                          r.host,
                          r.slot,
                          r.port,
                          r.serial,
                          r.identity,
                          num(r.unitType),
                          num(r.imagePair),
                          r.mcuSha256,
                          r.dspSha256,
                          r.result,
                          r.message,
                          num(r.exitStatus)};
            for (const char* p : kRecordedPhases) {
                const QJsonValue d = r.durations.value(QString::fromLatin1(p));
                f << (d.isDouble() ? QString::number(d.toDouble(), 'f', 3) : QString());
            }
            for (QString& s : f) {
                s = csvField(s);
            }
            std::printf("%s\n", f.join(',').toLocal8Bit().constData());
        }
        return kAllOk;
    }
    int ok = 0, refused = 0, other = 0, unfinished = 0;
    std::printf("%-24s %-8s %-10s %-12s %-18s %4s %8s  %s\n", "START (UTC)", "SLOT", "PORT",
                "SERIAL", "RESULT", "EXIT", "DURATION", "IDENTITY");
    for (const UpdateRecord& r : *rows) {
        const QString duration =
            r.end.isValid() ? QString("%1 s").arg(r.start.msecsTo(r.end) / 1000.0, 0, 'f', 1) : "";
        std::printf("%-24s %-8s %-10s %-12s %-18s %4s %8s  %s\n",
                    r.start.toString(Qt::ISODateWithMs).toLocal8Bit().constData(),
                    (r.slot.isEmpty() ? "-" : r.slot).toLocal8Bit().constData(),
                    (r.port.isEmpty() ? "-" : r.port).toLocal8Bit().constData(),
                    (r.serial.isEmpty() ? "-" : r.serial).toLocal8Bit().constData(),
                    r.result.toLocal8Bit().constData(), num(r.exitStatus).toLocal8Bit().constData(),
                    duration.toLocal8Bit().constData(), r.identity.toLocal8Bit().constData());
        (r.result == "ok"          ? ok
         : r.result == "refused"   ? refused
         : r.result == kUnfinished ? unfinished
                                   : other) += 1;
    }
    std::printf("%zu updates: ok %d, refused %d, failed %d, unfinished %d\n", rows->size(), ok,
                refused, other, unfinished);
    return kAllOk;
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(kUsageText, stdout);
            return kAllOk;
        }
    }
    Options o;
    std::string error;
    if (!parse(argc, argv, o, error)) {
        std::fprintf(stderr, "trm415-station: %s\nTry 'trm415-station --help'.\n", error.c_str());
        return kUsage;
    }
    if (o.version) {
        std::printf("trm415-station %s (trm415-update)\nQt %s (built with %s)\n", TRM_VERSION,
                    qVersion(), QT_VERSION_STR);
        return kAllOk;
    }
    QCoreApplication app(argc, argv);

    // The records come first: a line's records are not optional.
    RecordStore records;
    QString why;
    if (!records.open(o.records, why)) {
        std::fprintf(stderr, "trm415-station: cannot use the records database '%s': %s\n",
                     o.records.toLocal8Bit().constData(), why.toLocal8Bit().constData());
        return kUsage;
    }
    if (o.report) {
        return printReport(records, o.csv);
    }
    if (o.station.runner.isEmpty()) {
        o.station.runner = findRunner();
    }
    if (o.station.runner.isEmpty() || !QFileInfo(o.station.runner).isExecutable()) {
        std::fprintf(stderr,
                     "trm415-station: trm415-run is not installed beside it or on the PATH\n");
        return kUsage;
    }
    if (!o.station.recordDir.isEmpty() && !QDir().mkpath(o.station.recordDir)) {
        std::fprintf(stderr, "trm415-station: cannot make the directory '%s'\n",
                     o.station.recordDir.toLocal8Bit().constData());
        return kUsage;
    }

    // Where units are: watched without opening their nodes, which the runners use.
    std::unique_ptr<HidBackend> watcher;
    if (!o.station.simulate) {
        LinuxHidBackend::Options w;
        w.openUnitNodes = false;
        watcher = std::make_unique<LinuxHidBackend>(w);
    }
    const int slotCount = static_cast<int>(o.station.slotConfigs.size());
    const bool autoSlots = o.station.autoSlots;
    const int units = o.station.units;
    Station station(std::move(o.station), records, std::move(watcher));
    StationView view(station,
                     StyleFor(o.json, false, isatty(STDOUT_FILENO) != 0, std::getenv("NO_COLOR")));

    int exitCode = -1;
    bool recordFailed = false;
    QObject::connect(&station, &Station::recordError, &app, [&](const QString& text) {
        recordFailed = true;
        view.note(text, {{"record_error", text}}, Tone::Bad);
    });
    QObject::connect(&station, &Station::finished, &app, [&] {
        view.finish();
        exitCode = station.exitStatus() != 0 || recordFailed ? kNotAllOk : kAllOk;
        QCoreApplication::exit(0);
    });
    TerminationSignals stop;
    int signalCount = 0;
    QObject::connect(&stop, &TerminationSignals::received, &app, [&](int signalNumber) {
        ++signalCount;
        const int running = station.totals().running;
        if (signalCount == 1) {
            view.note(QString("%1: no new update starts; %2 under way run to their end "
                              "(again to close them)")
                          .arg(QString::fromLocal8Bit(strsignal(signalNumber)))
                          .arg(running),
                      {{"signal", signalNumber}, {"draining", true}, {"running", running}},
                      Tone::Bad);
            station.drain();
        } else {
            view.note(QString("%1 again: closing the %2 updates under way")
                          .arg(QString::fromLocal8Bit(strsignal(signalNumber)))
                          .arg(running),
                      {{"signal", signalNumber}, {"closing", true}, {"running", running}},
                      Tone::Bad);
            station.abort();
        }
    });

    view.note(QString("trm415-station %1: %2, records in %3%4")
                  .arg(TRM_VERSION,
                       autoSlots ? QString("a slot for each port a unit appears on")
                                 : QString("%1 slots").arg(slotCount),
                       o.records, units > 0 ? QString(", %1 units").arg(units) : QString()),
              {{"version", TRM_VERSION},
               {"slots", slotCount},
               {"auto_slots", autoSlots},
               {"units", units},
               {"records", o.records},
               {"simulated", o.simulated > 0}});
    station.start();
    QCoreApplication::exec();
    return exitCode < 0 ? kNotAllOk : exitCode;
}
