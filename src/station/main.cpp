// trm415-station: updates many TRM415 units at once on a production line. Each slot is
// a USB port; each unit plugged into a slot is updated by its own trm415-run process,
// bound to that port, and every update is recorded in the line's records: a SQLite file,
// or one PostgreSQL database the line's stations share. This file reads the options,
// answers --help, --version and --report, and hands the station's run to StationApp;
// a reload (SIGHUP) starts the program again in the same process.
#include "cli/Log.h"
#include "records/RecordStore.h"
#include "station/Options.h"
#include "station/RecordsReport.h"
#include "station/StationApp.h"

#include <QCoreApplication>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

using namespace trm;
using namespace trm::station;

namespace {

int run(int argc, char** argv, bool& reload) {
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
    if (!cli::InstallLog(o.verbose, o.logFile)) {
        std::fprintf(stderr, "trm415-station: cannot write the log file '%s'\n", o.logFile.c_str());
        return kUsage;
    }
    QCoreApplication app(argc, argv);
    QString why;
    const auto location = records::ParseLocation(o.records, why);
    if (!location) {
        // Not echoed: what was given may hold a password.
        std::fprintf(stderr, "trm415-station: cannot use the records: %s\n",
                     why.toLocal8Bit().constData());
        return kUsage;
    }
    if (o.report) {
        records::RecordStore store;
        if (!store.open(*location, why, false)) {
            std::fprintf(stderr, "trm415-station: cannot use the records database '%s': %s\n",
                         location->display().toLocal8Bit().constData(),
                         why.toLocal8Bit().constData());
            return kUsage;
        }
        return PrintReport(store, o.reportFormat, o.filter);
    }
    // Begun before a reload (set by the run before it, in this process).
    const QByteArray before = qgetenv(StationApp::kUnitsBeforeVariable);
    qunsetenv(StationApp::kUnitsBeforeVariable);
    if (bool number = false; o.station.units > 0) {
        const int n = before.toInt(&number);
        o.station.unitsBefore = number && n > 0 ? std::min(n, o.station.units) : 0;
    }
    StationApp station(std::move(o), *location);
    station.setReloadCheck([argc, argv](QString& why) {
        Options again;
        std::string error;
        if (!ParseOptions(argc, argv, again, error)) {
            why = QString::fromStdString(error);
            return false;
        }
        return records::ParseLocation(again.records, why).has_value();
    });
    return station.run(reload);
}

} // namespace

int main(int argc, char** argv) {
    bool reload = false;
    const int status = run(argc, argv, reload);
    if (!reload) {
        return status;
    }
    // Everything of the last run is closed (records, page, runners): the same program
    // again, in the same process, so a service manager sees no stop.
    std::fflush(nullptr);
    ::execv("/proc/self/exe", argv);
    std::fprintf(stderr, "trm415-station: cannot start again: %s\n", std::strerror(errno));
    return kNotAllOk;
}
