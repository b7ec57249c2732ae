// trm415-station's run.
#include "station/StationApp.h"

#include "core/ProcessLock.h"

#include "cli/Signals.h"
#include "cli/Terminal.h"
#include "hid/linux/LinuxHidBackend.h"
#include "records/RecordFields.h"
#include "records/Spool.h"
#include "station/WebPage.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QSysInfo>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace trm::station {
namespace {

// The trm415-run beside this program (as built and as installed), else on the PATH.
QString findRunner() {
    const QString beside = QDir(QCoreApplication::applicationDirPath()).filePath("trm415-run");
    if (QFileInfo(beside).isExecutable()) {
        return beside;
    }
    return QStandardPaths::findExecutable("trm415-run");
}

void complain(const QString& text) {
    std::fprintf(stderr, "trm415-station: %s\n", cli::Visible(text).toLocal8Bit().constData());
}

} // namespace

StationApp::StationApp(Options options, records::Location records)
    : o_(std::move(options)), location_(std::move(records)), shown_(location_.display()) {}

StationApp::~StationApp() = default;

QMap<QString, QString> StationApp::hookEnv(const SlotStatus& s, const QString& recordId,
                                           const UpdateEnd* end) {
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

// The records come first: a line's records are not optional. The station registers
// itself, and closes the rows it left unfinished when it last stopped.
bool StationApp::openRecords() {
    records::StationInfo me;
    me.name = o_.station.name.isEmpty() ? QSysInfo::machineHostName() : o_.station.name;
    me.host = QSysInfo::machineHostName();
    me.version = TRM_VERSION;
    for (const SlotConfig& c : o_.station.slotConfigs) {
        me.slotList << c.label + "=" + c.port;
    }
    me.started = me.heartbeat = QDateTime::currentDateTimeUtc();
    name_ = o_.station.name = me.name;
    // One station of a name on this machine: the second would take the first's rows for
    // its own unfinished ones.
    std::string holder;
    int lockError = 0;
    if (!ClaimLock("station-" + LockKey(me.name.toStdString()), holder, lockError) &&
        lockError == EBUSY) {
        complain(QString("a station named '%1' runs on this machine already (%2): give this "
                         "one another --name")
                     .arg(me.name, QString::fromStdString(holder)));
        return false;
    }
    QString why;
    // Said at once, before the table: an upgrade of millions of rows takes minutes.
    records_.setNotes([](const QString& text) {
        std::fprintf(stderr, "trm415-station: %s\n", text.toLocal8Bit().constData());
    });
    if (!records_.open(location_, o_.stateDir.isEmpty() ? records::DefaultStateDir() : o_.stateDir,
                       &me, why, warning_, &closedUnfinished_)) {
        complain(QString("cannot use the records database '%1': %2").arg(shown_, why));
        return false;
    }
    return true;
}

int StationApp::run(bool& reload) {
    if (o_.station.runner.isEmpty()) {
        o_.station.runner = findRunner();
    }
    if (o_.station.runner.isEmpty() || !QFileInfo(o_.station.runner).isExecutable()) {
        complain("trm415-run is not installed beside it or on the PATH");
        return kUsage;
    }
    if (!o_.station.recordingDir.isEmpty() && !QDir().mkpath(o_.station.recordingDir)) {
        complain(QString("cannot make the directory '%1'").arg(o_.station.recordingDir));
        return kUsage;
    }
    // Where units are: watched without opening their nodes, which the runners use.
    std::unique_ptr<HidBackend> watcher;
    if (!o_.station.simulate) {
        LinuxHidBackend::Options w;
        w.openUnitNodes = false;
        watcher = std::make_unique<LinuxHidBackend>(w);
    }
    if (QString refused; !CheckRunnerSettings(o_.station, refused)) {
        complain(refused);
        return kUsage;
    }
    if (!openRecords()) {
        return kUsage;
    }
    const StationOptions given = o_.station;
    station_ = std::make_unique<Station>(given, records_, std::move(watcher));
    view_ = std::make_unique<StationView>(
        *station_,
        cli::StyleFor(o_.json, false, isatty(STDOUT_FILENO) != 0, std::getenv("NO_COLOR")),
        o_.bell);
    connect(station_.get(), &Station::recordError, this, [this](const QString& text) {
        recordFailed_ = true;
        view_->note(text, {{"record_error", text}}, Tone::Bad);
    });
    connect(station_.get(), &Station::finished, this, [this] {
        exitCode_ = station_->exitStatus() != 0 || recordFailed_ ? kNotAllOk : kAllOk;
        QCoreApplication::exit(0);
    });
    signals_ = std::make_unique<cli::SignalEvents>(std::initializer_list<int>{SIGHUP});
    connect(signals_.get(), &cli::SignalEvents::received, this, &StationApp::onSignal);
    sayStart();
    // A file's heartbeat, so that the line page sees this station alive.
    if (!records_.isServer()) {
        connect(&beat_, &QTimer::timeout, this, [this] { records_.beat(); });
        beat_.start(5000);
    }
    watchSpool();
    if (!startPage()) {
        return kUsage;
    }
    startHooks();
    station_->start();
    QCoreApplication::exec();
    hooks_.finish();
    spoolWatch_.stop();
    drainSpool();
    // The totals last: after the hooks' problems and what the spool still holds.
    if (records_.isServer()) {
        const auto s = records_.status();
        sayClosed(s.closedUnfinished - closedUnfinished_);
        closedUnfinished_ = s.closedUnfinished;
        view_->setHeld(s.held, s.heldSince, s.answering);
    }
    view_->finish();
    reload = reload_;
    return exitCode_ < 0 ? kNotAllOk : exitCode_;
}

void StationApp::sayStart() {
    const StationOptions& s = o_.station;
    const int slotCount = static_cast<int>(s.slotConfigs.size());
    view_->note(QString("trm415-station %1: %2, records in %3%4")
                    .arg(TRM_VERSION,
                         s.autoSlots ? QString("a slot for each port a unit appears on")
                                     : QString("%1 slots").arg(slotCount),
                         shown_,
                         s.units == 0 ? QString()
                         : s.unitsBefore > 0
                             ? QString(", %1 units, %2 of them begun before the reload")
                                   .arg(s.units)
                                   .arg(s.unitsBefore)
                             : QString(", %1 units").arg(s.units)),
                {{"version", TRM_VERSION},
                 {"slots", slotCount},
                 {"auto_slots", s.autoSlots},
                 {"units", s.units},
                 {"units_before_reload", s.unitsBefore},
                 {"records", shown_},
                 {"name", name_},
                 {"simulated", o_.simulated > 0}});
    if (!warning_.isEmpty()) {
        view_->note("WARNING: " + warning_, {{"records_warning", warning_}}, Tone::Bad);
    }
    sayClosed(closedUnfinished_);
}

void StationApp::sayClosed(int count) {
    if (count > 0) {
        view_->note(QString("%1 update(s) left unfinished by an earlier run marked \"%2\"")
                        .arg(count)
                        .arg(records::ResultText(records::Result::InterruptedStationStopped)),
                    {{"closed_unfinished", count}});
    }
}

// SIGHUP: drain, then start again. The first SIGINT or SIGTERM: drain; the second: close
// the updates under way.
void StationApp::onSignal(int signalNumber) {
    const int running = station_->totals().running;
    if (signalNumber == SIGHUP) {
        if (stopSignals_ > 0 || reload_) {
            return; // already stopping
        }
        if (QString why; reloadCheck_ && !reloadCheck_(why)) {
            view_->note(QString("SIGHUP: the configuration cannot be used, so the station goes "
                                "on with the one it has: %1")
                            .arg(why),
                        {{"signal", signalNumber}, {"restarting", false}, {"reload_error", why}},
                        Tone::Bad);
            return;
        }
        reload_ = true;
        // The units begun so far count towards --units after the reload.
        qputenv(kUnitsBeforeVariable, QByteArray::number(station_->launched()));
        view_->note(QString("SIGHUP: the station starts again with its configuration read "
                            "anew once the %1 updates under way have ended")
                        .arg(running),
                    {{"signal", signalNumber}, {"restarting", true}, {"running", running}});
        station_->drain();
        return;
    }
    reload_ = false; // a stop asked for while reloading stops
    const QString name = QString::fromLocal8Bit(strsignal(signalNumber));
    if (++stopSignals_ == 1) {
        view_->note(QString("%1: no new update starts; %2 under way run to their end "
                            "(again to close them)")
                        .arg(name)
                        .arg(running),
                    {{"signal", signalNumber}, {"draining", true}, {"running", running}},
                    Tone::Bad);
        station_->drain();
    } else {
        view_->note(QString("%1 again: closing the %2 updates under way").arg(name).arg(running),
                    {{"signal", signalNumber}, {"closing", true}, {"running", running}}, Tone::Bad);
        station_->abort();
    }
}

// The rows held by the spool, said when their number or the server's state changes.
void StationApp::watchSpool() {
    if (!records_.isServer()) {
        return;
    }
    lastSpool_ = records_.status();
    view_->setHeld(lastSpool_.held, lastSpool_.heldSince, lastSpool_.answering);
    connect(&spoolWatch_, &QTimer::timeout, this, [this] {
        const auto now = records_.status();
        // The server's rows an earlier run left unfinished, closed once the spool is sent.
        sayClosed(now.closedUnfinished - closedUnfinished_);
        closedUnfinished_ = now.closedUnfinished;
        if (now.held == lastSpool_.held && now.answering == lastSpool_.answering) {
            return;
        }
        lastSpool_ = now;
        view_->setHeld(now.held, now.heldSince, now.answering);
        if (web_) {
            web_->setHeld(now.held);
        }
        view_->note(now.held == 0 ? QString("records: every row is on the server")
                                  : QString("records: %1 update(s) held in the spool since %2 "
                                            "UTC%3")
                                        .arg(now.held)
                                        .arg(now.heldSince.toString("yyyy-MM-dd HH:mm:ss"))
                                        .arg(now.answering ? ""
                                                           : ": the server does not answer (" +
                                                                 now.lastError + ")"),
                    {{"records_held", now.held},
                     {"held_since", records::UtcText(now.heldSince)},
                     {"server_answering", now.answering}},
                    now.answering ? Tone::Plain : Tone::Bad);
    });
    spoolWatch_.start(1000);
}

// The page, when asked for.
bool StationApp::startPage() {
    if (o_.http.isEmpty()) {
        return true;
    }
    QHostAddress host;
    quint16 port = 0;
    QString why;
    ParseHttpAddress(o_.http, host, port, why);
    web_ = std::make_unique<WebPage>(*station_, location_, name_);
    if (!web_->listen(host, port, o_.httpHosts, why)) {
        complain(QString("cannot serve the page on %1: %2").arg(o_.http, why));
        return false;
    }
    const QString shownHost = host == QHostAddress::Any ? QSysInfo::machineHostName()
                              : host.protocol() == QAbstractSocket::IPv6Protocol
                                  ? "[" + host.toString() + "]"
                                  : host.toString();
    const QString url = QString("http://%1:%2/").arg(shownHost).arg(web_->port());
    view_->note("the station's page: " + url, {{"http", url}, {"http_port", web_->port()}});
    if (records_.isServer()) {
        web_->setHeld(records_.status().held);
    }
    return true;
}

// The jig's hooks.
void StationApp::startHooks() {
    QString why; // checked when the options were read
    onStart_ = o_.onStart.isEmpty() ? std::nullopt : ParseHook(o_.onStart, why);
    onResult_ = o_.onResult.isEmpty() ? std::nullopt : ParseHook(o_.onResult, why);
    connect(&hooks_, &Hooks::problem, this, [this](const QString& text) {
        view_->note(text, {{"hook_problem", text}}, Tone::Bad);
    });
    if (onStart_) {
        // Once the runner has the unit, so that TRM_SERIAL is known.
        connect(station_.get(), &Station::unitFound, this,
                [this](int index, const QString& recordId) {
                    hooks_.run(*onStart_, "start",
                               hookEnv(station_->slotStatus()[std::size_t(index)], recordId));
                });
    }
    if (onResult_) {
        connect(station_.get(), &Station::updateEnded, this,
                [this](int index, const UpdateEnd& end) {
                    hooks_.run(
                        *onResult_, "result",
                        hookEnv(station_->slotStatus()[std::size_t(index)], end.record.id, &end));
                });
    }
}

// Rows still held go to the server before the station ends, for a while; what is left
// then stays in the spool for the next start.
void StationApp::drainSpool() {
    if (!records_.isServer() || records_.drain(o_.drainMs)) {
        return;
    }
    const auto s = records_.status();
    view_->note(QString("records: %1 update(s) stay in the spool; they are sent at the next "
                        "start")
                    .arg(s.held),
                {{"records_held", s.held}, {"server_answering", s.answering}}, Tone::Bad);
}

} // namespace trm::station
