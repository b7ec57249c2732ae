// trm415-station: updates many TRM415 units at once on a production line. Each slot is
// a USB port; each unit plugged into a slot is updated by its own trm415-run process,
// bound to that port, and every update is recorded in a SQLite database. This file
// reads the options and hands over to the Station.
#include "cli/Signals.h"
#include "cli/Terminal.h"
#include "hid/linux/LinuxHidBackend.h"
#include "records/RecordStore.h"
#include "station/Options.h"
#include "station/RecordsReport.h"
#include "station/Station.h"
#include "station/StationView.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QSysInfo>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

using namespace trm;
using namespace trm::station;

namespace {

enum Exit { kAllOk = 0, kNotAllOk = 1, kUsage = 2 };

// The trm415-run beside this program (as built and as installed), else on the PATH.
QString findRunner() {
    const QString beside = QDir(QCoreApplication::applicationDirPath()).filePath("trm415-run");
    if (QFileInfo(beside).isExecutable()) {
        return beside;
    }
    return QStandardPaths::findExecutable("trm415-run");
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    std::string error;
    if (!ParseOptions(argc, argv, o, error)) {
        std::fprintf(stderr, "trm415-station: %s\nTry 'trm415-station --help'.\n", error.c_str());
        return kUsage;
    }
    if (o.help) {
        PrintHelp();
        return kAllOk;
    }
    if (o.version) {
        std::printf("trm415-station %s (trm415-update)\nQt %s (built with %s)\n", TRM_VERSION,
                    qVersion(), QT_VERSION_STR);
        return kAllOk;
    }
    QCoreApplication app(argc, argv);

    // The records come first: a line's records are not optional.
    records::RecordStore records;
    QString why;
    if (!records.open(o.records, why, !o.report)) {
        std::fprintf(stderr, "trm415-station: cannot use the records database '%s': %s\n",
                     o.records.toLocal8Bit().constData(), why.toLocal8Bit().constData());
        return kUsage;
    }
    if (o.report) {
        return PrintReport(records, o.csv, o.filter);
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
    StationView view(
        station, cli::StyleFor(o.json, false, isatty(STDOUT_FILENO) != 0, std::getenv("NO_COLOR")),
        o.bell);

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
    cli::TerminationSignals stop;
    int signalCount = 0;
    QObject::connect(&stop, &cli::TerminationSignals::received, &app, [&](int signalNumber) {
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
    // Rows this host's station left unfinished when it last stopped (killed, or the
    // machine went down) are not updates under way.
    const int closed =
        records.closeUnfinished(QSysInfo::machineHostName(), QDateTime::currentDateTimeUtc(),
                                kInterruptedStationStopped, why);
    if (closed > 0) {
        view.note(QString("%1 update(s) left unfinished by an earlier run marked \"%2\"")
                      .arg(closed)
                      .arg(kInterruptedStationStopped),
                  {{"closed_unfinished", closed}});
    }
    station.start();
    QCoreApplication::exec();
    return exitCode < 0 ? kNotAllOk : exitCode;
}
