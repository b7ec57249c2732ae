// trm415-station: updates many TRM415 units at once on a production line. Each slot is
// a USB port; each unit plugged into a slot is updated by its own trm415-run process,
// bound to that port, and every update is recorded in a SQLite database. This file
// reads the options and hands over to the Station.
#include "cli/Log.h"
#include "cli/Signals.h"
#include "cli/Terminal.h"
#include "hid/linux/LinuxHidBackend.h"
#include "records/RecordStore.h"
#include "records/RecordWriter.h"
#include "records/Spool.h"
#include "station/Hooks.h"
#include "station/Options.h"
#include "station/RecordsReport.h"
#include "station/Station.h"
#include "station/StationView.h"
#include "station/WebPage.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTimer>

#include <memory>

#include <csignal>
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

// The hooks of a slot's update: its slot, port and record, and (with `end`) what came
// of it.
QMap<QString, QString> hookEnv(const SlotStatus& s, const QString& recordId,
                               const UpdateEnd* end = nullptr) {
    QMap<QString, QString> env{{"TRM_SLOT", s.label},
                               {"TRM_PORT", s.port},
                               {"TRM_SERIAL", end != nullptr && !end->record.serial.isEmpty()
                                                  ? end->record.serial
                                                  : s.serial},
                               {"TRM_RECORD_ID", recordId}};
    if (end != nullptr) {
        env.insert("TRM_RESULT", records::ResultText(end->record.result));
        env.insert("TRM_EXIT_STATUS", QString::number(end->record.exitStatus));
        env.insert("TRM_MESSAGE", end->record.message);
    }
    return env;
}

// The station's whole run. `restart` is set when a SIGHUP asked for the station to start
// again (with its configuration read anew) once the updates under way have ended.
int run(int argc, char** argv, bool& restart) {
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
    const QString shown = location->display();
    if (o.report) {
        records::RecordStore store;
        if (!store.open(*location, why, false)) {
            std::fprintf(stderr, "trm415-station: cannot use the records database '%s': %s\n",
                         shown.toLocal8Bit().constData(), why.toLocal8Bit().constData());
            return kUsage;
        }
        return PrintReport(store, o.csv, o.filter);
    }
    if (o.station.runner.isEmpty()) {
        o.station.runner = findRunner();
    }
    if (o.station.runner.isEmpty() || !QFileInfo(o.station.runner).isExecutable()) {
        std::fprintf(stderr,
                     "trm415-station: trm415-run is not installed beside it or on the PATH\n");
        return kUsage;
    }
    if (!o.station.recordingDir.isEmpty() && !QDir().mkpath(o.station.recordingDir)) {
        std::fprintf(stderr, "trm415-station: cannot make the directory '%s'\n",
                     o.station.recordingDir.toLocal8Bit().constData());
        return kUsage;
    }

    // Where units are: watched without opening their nodes, which the runners use.
    std::unique_ptr<HidBackend> watcher;
    if (!o.station.simulate) {
        LinuxHidBackend::Options w;
        w.openUnitNodes = false;
        watcher = std::make_unique<LinuxHidBackend>(w);
    }
    // The records come first: a line's records are not optional. The station registers
    // itself, and closes the rows it left unfinished when it last stopped.
    records::StationInfo me;
    me.name = o.station.name.isEmpty() ? QSysInfo::machineHostName() : o.station.name;
    me.host = QSysInfo::machineHostName();
    me.version = TRM_VERSION;
    for (const SlotConfig& c : o.station.slotConfigs) {
        me.slotList << c.label + "=" + c.port;
    }
    me.started = me.heartbeat = QDateTime::currentDateTimeUtc();
    o.station.name = me.name;
    records::RecordWriter records;
    QString warning;
    int closed = 0;
    if (!records.open(*location, o.stateDir.isEmpty() ? records::DefaultStateDir() : o.stateDir,
                      &me, why, warning, &closed)) {
        std::fprintf(stderr, "trm415-station: cannot use the records database '%s': %s\n",
                     shown.toLocal8Bit().constData(), why.toLocal8Bit().constData());
        return kUsage;
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
    cli::TerminationSignals stop({SIGHUP});
    int signalCount = 0;
    QObject::connect(&stop, &cli::TerminationSignals::received, &app, [&](int signalNumber) {
        const int running = station.totals().running;
        if (signalNumber == SIGHUP) {
            if (signalCount > 0 || restart) {
                return; // already stopping
            }
            restart = true;
            view.note(QString("SIGHUP: the station starts again with its configuration read "
                              "anew once the %1 updates under way have ended")
                          .arg(running),
                      {{"signal", signalNumber}, {"restarting", true}, {"running", running}});
            station.drain();
            return;
        }
        restart = false; // a stop asked for while restarting stops
        ++signalCount;
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
                       shown, units > 0 ? QString(", %1 units").arg(units) : QString()),
              {{"version", TRM_VERSION},
               {"slots", slotCount},
               {"auto_slots", autoSlots},
               {"units", units},
               {"records", shown},
               {"name", me.name},
               {"simulated", o.simulated > 0}});
    if (!warning.isEmpty()) {
        view.note("WARNING: " + warning, {{"records_warning", warning}}, Tone::Bad);
    }
    if (closed > 0) {
        view.note(QString("%1 update(s) left unfinished by an earlier run marked \"%2\"")
                      .arg(closed)
                      .arg(records::ResultText(records::Result::InterruptedStationStopped)),
                  {{"closed_unfinished", closed}});
    }
    std::unique_ptr<WebPage> web;
    // A file's heartbeat, so that the line page sees this station alive.
    QTimer beat;
    if (!records.isServer()) {
        QObject::connect(&beat, &QTimer::timeout, &app, [&records] { records.beat(); });
        beat.start(5000);
    }
    // The rows held by the spool, said when their number or the server's state changes.
    QTimer spoolWatch;
    if (records.isServer()) {
        auto last = std::make_shared<records::RecordWriter::Status>(records.status());
        QObject::connect(&spoolWatch, &QTimer::timeout, &app, [&records, &view, &web, last] {
            const auto now = records.status();
            if (now.held == last->held && now.answering == last->answering) {
                return;
            }
            *last = now;
            view.setHeld(now.held, now.heldSince, now.answering);
            if (web) {
                web->setHeld(now.held);
            }
            view.note(now.held == 0 ? QString("records: every row is on the server")
                                    : QString("records: %1 row(s) held in the spool since %2 "
                                              "UTC%3")
                                          .arg(now.held)
                                          .arg(now.heldSince.toString("yyyy-MM-dd HH:mm:ss"))
                                          .arg(now.answering ? ""
                                                             : ": the server does not answer (" +
                                                                   now.lastError + ")"),
                      {{"records_held", now.held},
                       {"held_since", now.heldSince.toString(Qt::ISODateWithMs)},
                       {"server_answering", now.answering}},
                      now.answering ? Tone::Plain : Tone::Bad);
        });
        spoolWatch.start(1000);
        const auto s = records.status();
        view.setHeld(s.held, s.heldSince, s.answering);
    }
    // The page, when asked for.
    if (!o.http.isEmpty()) {
        QHostAddress host;
        quint16 port = 0;
        ParseHttpAddress(o.http, host, port, why);
        web = std::make_unique<WebPage>(station, *location, me.name);
        if (!web->listen(host, port, why)) {
            std::fprintf(stderr, "trm415-station: cannot serve the page on %s: %s\n",
                         o.http.toLocal8Bit().constData(), why.toLocal8Bit().constData());
            return kUsage;
        }
        const QString shownHost = host == QHostAddress::Any ? QSysInfo::machineHostName()
                                  : host.protocol() == QAbstractSocket::IPv6Protocol
                                      ? "[" + host.toString() + "]"
                                      : host.toString();
        const QString url = QString("http://%1:%2/").arg(shownHost).arg(web->port());
        view.note("the station's page: " + url, {{"http", url}, {"http_port", web->port()}});
        if (records.isServer()) {
            web->setHeld(records.status().held);
        }
    }
    // The jig's hooks.
    Hooks hooks;
    QString hookWhy;
    const auto onStart = o.onStart.isEmpty() ? std::nullopt : ParseHook(o.onStart, hookWhy);
    const auto onResult = o.onResult.isEmpty() ? std::nullopt : ParseHook(o.onResult, hookWhy);
    QObject::connect(&hooks, &Hooks::problem, &app, [&view](const QString& text) {
        view.note(text, {{"hook_problem", text}}, Tone::Bad);
    });
    if (onStart) {
        QObject::connect(&station, &Station::updateStarted, &app,
                         [&](int index, const QString& recordId) {
                             hooks.run(*onStart, "start",
                                       hookEnv(station.slotStatus()[std::size_t(index)], recordId));
                         });
    }
    if (onResult) {
        QObject::connect(
            &station, &Station::updateEnded, &app, [&](int index, const UpdateEnd& end) {
                hooks.run(*onResult, "result",
                          hookEnv(station.slotStatus()[std::size_t(index)], end.record.id, &end));
            });
    }
    station.start();
    QCoreApplication::exec();
    hooks.finish();
    spoolWatch.stop();
    // Rows still held go to the server before the station ends, for a while; what is
    // left then stays in the spool for the next start.
    if (records.isServer() && !records.drain(o.drainMs)) {
        const auto s = records.status();
        view.note(QString("records: %1 row(s) stay in the spool; they are sent at the next "
                          "start")
                      .arg(s.held),
                  {{"records_held", s.held}, {"server_answering", s.answering}}, Tone::Bad);
    }
    return exitCode < 0 ? kNotAllOk : exitCode;
}

} // namespace

int main(int argc, char** argv) {
    bool restart = false;
    const int status = run(argc, argv, restart);
    if (!restart) {
        return status;
    }
    // Everything of the last run is closed (records, page, runners): the same program
    // again, in the same process, so a service manager sees no stop.
    std::fflush(nullptr);
    ::execv("/proc/self/exe", argv);
    std::fprintf(stderr, "trm415-station: cannot start again: %s\n", std::strerror(errno));
    return kNotAllOk;
}
