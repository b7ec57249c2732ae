// The update station: slots, their runners and their records.
#include "station/Station.h"

#include "cli/Spawn.h"

#include "cli/Cpus.h"
#include "cli/RunnerEvents.h"
#include "hid/HidBackend.h"
#include "hid/PortBound.h"
#include "hid/UnitIdentity.h"

#include <QDateTime>
#include <QDir>
#include <QJsonDocument>
#include <QSysInfo>
#include <QTimer>

#include <cmath>
#include <set>

#include <csignal>
#include <cstring>
#include <unistd.h>

namespace trm::station {

const char* StateName(SlotState s) {
    switch (s) {
    case SlotState::Waiting:
        return "waiting";
    case SlotState::Updating:
        return "updating";
    case SlotState::AwaitingUnplug:
        return "unplug";
    case SlotState::Removed:
        return "removed";
    case SlotState::Stopped:
        return "stopped";
    }
    return "?";
}

struct Station::Job {
    std::unique_ptr<QProcess> process;
    records::UpdateRecord record;
    QJsonObject summary;
    bool haveSummary = false;
    QByteArray errorTail;  // the runner's last words on stderr
    bool returned = false; // the unit left mid-update and came back
    bool found = false;    // the runner has said which unit it has
    bool foundInBootLoader = false;
    int cpu = -1; // where its runner's threads run
};

namespace {

// trm415-run's exit status for settings it does not take.
constexpr int kRunnerUsage = 2;

// The runner's stderr kept for a report when it dies.
constexpr qsizetype kErrorTail = 2048;

double tenths(double seconds) {
    return std::round(seconds * 10) / 10;
}

QString signalText(int n) {
    const char* name = strsignal(n);
    return QString("signal %1 (%2)").arg(n).arg(name != nullptr ? name : "?");
}

} // namespace

Station::Station(StationOptions options, records::RecordWriter& records,
                 std::unique_ptr<HidBackend> watcher, QObject* parent)
    : QObject(parent), options_(std::move(options)), records_(records),
      watcher_(std::move(watcher)), cpus_(cli::AllowedCpus()), launched_(options_.unitsBefore),
      ended_(options_.unitsBefore) {
    for (const SlotConfig& c : options_.slotConfigs) {
        SlotStatus s;
        s.label = c.label;
        s.port = c.port;
        slots_.push_back(s);
        jobs_.push_back(nullptr);
    }
    clock_.start();
}

Station::~Station() {
    // Only reached with runners still at work when the event loop was left early: they
    // are asked to close as the window's close does, then given a moment.
    for (auto& job : jobs_) {
        if (job && job->process && job->process->state() != QProcess::NotRunning) {
            job->process->disconnect(this);
            job->process->terminate();
            if (!job->process->waitForFinished(5000)) {
                job->process->kill();
                job->process->waitForFinished(1000);
            }
        }
    }
}

void Station::start() {
    if (watcher_) {
        watcher_->setChangeHandler([this] { scan(); });
    }
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        emit slotChanged(static_cast<int>(i));
    }
    scan();
}

void Station::drain() {
    draining_ = true;
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        emit slotChanged(static_cast<int>(i));
    }
    checkFinished();
}

void Station::abort() {
    drain();
    for (auto& job : jobs_) {
        if (job && job->process && job->process->state() != QProcess::NotRunning) {
            job->process->terminate(); // SIGTERM: the runner closes its window
        }
    }
}

StationTotals Station::totals() const {
    StationTotals t;
    t.ok = ok_;
    t.refused = refused_;
    t.failed = failed_;
    for (const SlotStatus& s : slots_) {
        t.running += s.state == SlotState::Updating || s.state == SlotState::Removed ? 1 : 0;
    }
    const double hours = now() / 3600.0;
    t.okPerHour = hours > 0 ? ok_ / hours : 0;
    t.unitsPerHour = hours > 0 ? ended_ / hours : 0;
    return t;
}

int Station::exitStatus() const {
    return failed_ + refused_ > 0 || launched_ != ended_ ? 1 : 0;
}

int Station::slotOfPort(const QString& port) const {
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        if (slots_[i].port == port) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

QJsonObject SlotJson(const SlotStatus& s, double now) {
    QJsonObject o{
        {"slot", s.label}, {"port", s.port}, {"state", StateName(s.state)}, {"updates", s.updates}};
    if (s.state == SlotState::Updating || s.state == SlotState::Removed) {
        o.insert("phase", s.phase);
        o.insert("percent", s.percent);
        o.insert("elapsed_s", tenths(now - s.startedAt));
    }
    if (s.state == SlotState::Updating) {
        o.insert("pid", s.pid);
    }
    if (s.state == SlotState::Removed) {
        o.insert("removed_s", tenths(now - s.removedAt));
    }
    if (!s.serial.isEmpty()) {
        o.insert("serial", s.serial);
    }
    if (s.lastVerdict) {
        o.insert("last_verdict", records::ResultText(*s.lastVerdict));
        o.insert("last_tone", records::ResultTone(*s.lastVerdict));
        o.insert("verdict_age_s", tenths(now - s.lastVerdictAt));
    }
    if (!s.message.isEmpty()) {
        o.insert("message", s.message);
    }
    if (!s.cure.isEmpty()) {
        o.insert("cure", s.cure);
    }
    return o;
}

void Station::setState(int index, SlotState state) {
    SlotStatus& s = slots_[static_cast<std::size_t>(index)];
    if (s.state == state) {
        return;
    }
    s.state = state;
    if (state != SlotState::Updating) {
        s.phase.clear();
        s.percent = -1;
        s.pid = 0;
    }
    emit slotChanged(index);
}

void Station::scan() {
    if (finished_) {
        return;
    }
    if (watcher_) {
        QStringList ports;
        for (const HidDeviceInfo& d : watcher_->enumerate()) {
            const QString port = QString::fromStdString(UsbPortOf(d.instanceId));
            if (IsUnitIdentity(d.attributes) && !port.isEmpty() && !ports.contains(port)) {
                ports << port;
            }
        }
        presentPorts_ = ports;
        if (options_.autoSlots) {
            for (const QString& port : ports) {
                if (slotOfPort(port) < 0) {
                    SlotStatus s;
                    s.label = port;
                    s.port = port;
                    slots_.push_back(s);
                    jobs_.push_back(nullptr);
                    options_.slotConfigs.push_back({port, port, {}});
                    emit slotChanged(static_cast<int>(slots_.size() - 1));
                }
            }
        }
    }
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        const int index = static_cast<int>(i);
        SlotStatus& s = slots_[i];
        // A simulated slot's unit is taken away with its verdict and a new one plugged in.
        const bool present =
            !watcher_ ||
            std::any_of(presentPorts_.begin(), presentPorts_.end(), [&s](const QString& p) {
                return LiesOnPort(p.toStdString(), s.port.toStdString());
            });
        if (s.state == SlotState::AwaitingUnplug && !present) {
            setState(index, SlotState::Waiting);
        }
        const bool mayStart = !draining_ && (options_.units == 0 || launched_ < options_.units);
        if (s.state == SlotState::Waiting && present && mayStart) {
            launch(index);
        }
    }
    checkFinished();
}

int Station::quietestCpu() const {
    int best = -1;
    int fewest = 0;
    for (int cpu : cpus_) {
        int n = 0;
        for (const auto& j : jobs_) {
            n += j && j->cpu == cpu && j->process && j->process->state() != QProcess::NotRunning;
        }
        if (best < 0 || n < fewest) {
            best = cpu;
            fewest = n;
        }
    }
    return best;
}

namespace {

// What a runner for slot `c` on `port` is given.
QStringList RunnerArguments(const StationOptions& options, const SlotConfig& c,
                            const QString& port) {
    QStringList args = options.runnerArgs;
    args << "--json"
         << "--port=" + port;
    if (options.simulate) {
        args << "--simulate=port=" + port + (c.scenario.isEmpty() ? "" : "," + c.scenario);
    }
    return args;
}

} // namespace

bool CheckRunnerSettings(const StationOptions& options, QString& error) {
    std::vector<std::pair<QString, QStringList>> checks; // slot, arguments
    if (options.slotConfigs.empty()) {
        checks.emplace_back("any", RunnerArguments(options, {}, "1-1"));
    }
    std::set<QString> scenarios; // the slots differ in their port alone otherwise
    for (const SlotConfig& c : options.slotConfigs) {
        if (scenarios.insert(c.scenario).second) {
            checks.emplace_back(c.label, RunnerArguments(options, c, c.port));
        }
    }
    for (const auto& [label, args] : checks) {
        // --version reads every setting and ends without touching a unit.
        const cli::Spawned p =
            cli::RunToEnd(options.runner, QStringList(args) << "--version", 30000);
        if (!p.started) {
            error = QString("cannot run %1: %2").arg(options.runner, p.error);
            return false;
        }
        if (!p.finished) {
            error = QString("%1 did not answer in 30 s").arg(options.runner);
            return false;
        }
        if (!p.signalled && p.exitCode == kRunnerUsage) {
            error = QString("slot %1: %2")
                        .arg(label, QString::fromLocal8Bit(p.err).trimmed().split('\n').first());
            return false;
        }
    }
    return true;
}

void Station::launch(int index) {
    SlotStatus& s = slots_[static_cast<std::size_t>(index)];
    const SlotConfig& c = options_.slotConfigs[static_cast<std::size_t>(index)];
    auto job = std::make_unique<Job>();
    ++launched_;

    QStringList args = RunnerArguments(options_, c, s.port);
    // Each runner's threads hand over to one another on one CPU, and the runners are
    // spread evenly over the CPUs the station may use.
    job->cpu = quietestCpu();
    if (job->cpu >= 0) {
        args << QString("--cpu=%1").arg(job->cpu);
    }
    if (!options_.recordingDir.isEmpty()) {
        const QString stamp = QDateTime::currentDateTimeUtc().toString("yyyyMMdd'T'HHmmss'Z'");
        QString name = QString("%1-%2-%3.jsonl").arg(s.label, stamp).arg(launched_);
        name.replace('/', '_');
        args << "--record=" + QDir(options_.recordingDir).filePath(name);
    }

    job->record.start = QDateTime::currentDateTimeUtc();
    job->record.host = QSysInfo::machineHostName();
    job->record.slot = s.label;
    job->record.port = s.port;
    QString why;
    job->record.station = options_.name;
    if (!records_.write(job->record, why)) {
        emit recordError(QString("slot %1: cannot write its record: %2").arg(s.label, why));
    }

    job->process = std::make_unique<QProcess>();
    QProcess* p = job->process.get();
    // Its own process group: a Ctrl-C on the station's terminal reaches the station
    // alone, which decides what the runners are told.
    p->setChildProcessModifier([] { ::setpgid(0, 0); });
    p->setProcessChannelMode(QProcess::SeparateChannels);
    connect(p, &QProcess::readyReadStandardOutput, this, [this, index, p] {
        while (p->canReadLine()) {
            const QByteArray line = p->readLine().trimmed();
            QJsonParseError e{};
            const QJsonDocument doc = QJsonDocument::fromJson(line, &e);
            if (e.error == QJsonParseError::NoError && doc.isObject()) {
                onLine(index, doc.object());
            }
        }
    });
    connect(p, &QProcess::readyReadStandardError, this, [this, index, p] {
        Job& j = *jobs_[static_cast<std::size_t>(index)];
        j.errorTail += p->readAllStandardError();
        if (j.errorTail.size() > kErrorTail) {
            j.errorTail = j.errorTail.right(kErrorTail);
        }
    });
    connect(p, &QProcess::finished, this,
            [this, index](int code, QProcess::ExitStatus status) { onExit(index, code, status); });
    connect(p, &QProcess::errorOccurred, this, [this, index, p](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            jobs_[static_cast<std::size_t>(index)]->errorTail =
                "cannot start " + options_.runner.toLocal8Bit() + ": " +
                p->errorString().toLocal8Bit();
            onExit(index, -1, QProcess::CrashExit);
        }
    });

    s.phase = "starting";
    s.percent = -1;
    s.serial.clear();
    s.message.clear();
    s.cure.clear();
    s.startedAt = now();
    jobs_[static_cast<std::size_t>(index)] = std::move(job);
    s.state = SlotState::Updating;
    p->start(options_.runner, args);
    s.pid = p->processId();
    emit slotChanged(index);
    emit updateStarted(index, jobs_[static_cast<std::size_t>(index)]->record.id);
}

void Station::onLine(int index, const QJsonObject& line) {
    SlotStatus& s = slots_[static_cast<std::size_t>(index)];
    Job& job = *jobs_[static_cast<std::size_t>(index)];
    namespace key = events::key;
    const QString event = line.value(key::kEvent).toString();
    if (event == events::kUnit) {
        const QString serial = line.value(key::kSerial).toString();
        if (!serial.isEmpty()) {
            s.serial = serial;
            job.record.serial = serial;
        }
        if (!job.found) {
            job.found = true;
            emit unitFound(index, job.record.id);
        }
        if (s.phase == "starting") {
            s.phase = "found";
            // Found first in its boot loader: a recovery, written with image pair 1.
            job.foundInBootLoader = line.value("identity").toString() == "update";
        }
    } else if (event == events::kPhase &&
               line.value(key::kState).toString() == events::kPhaseStart) {
        s.phase = line.value(key::kPhase).toString();
        s.percent = -1;
    } else if (event == events::kProgress) {
        s.percent = line.value(key::kPercent).toInt(-1);
    } else if (event == events::kUnitRemoved) {
        s.state = SlotState::Removed;
        s.removedAt = now();
        s.message = line.value(key::kMeaning).toString();
        s.cure = "plug the unit back into this slot";
    } else if (event == events::kUnitReturned) {
        s.state = SlotState::Updating;
        s.message.clear();
        s.cure.clear();
        job.returned = true;
    } else if (event == events::kSummary) {
        job.summary = line;
        job.haveSummary = true;
        return;
    } else {
        return;
    }
    emit slotChanged(index);
}

void Station::onExit(int index, int exitCode, QProcess::ExitStatus status) {
    SlotStatus& s = slots_[static_cast<std::size_t>(index)];
    Job& job = *jobs_[static_cast<std::size_t>(index)];
    if (s.state != SlotState::Updating && s.state != SlotState::Removed) {
        return; // already ended (a start failure reports both ways)
    }
    // What the runner printed last may still be in the pipe.
    if (job.process) {
        while (job.process->canReadLine()) {
            const QJsonDocument doc = QJsonDocument::fromJson(job.process->readLine().trimmed());
            if (doc.isObject() &&
                doc.object().value(events::key::kEvent).toString() == events::kSummary) {
                job.summary = doc.object();
                job.haveSummary = true;
            }
        }
    }
    records::UpdateRecord& r = job.record;
    r.end = QDateTime::currentDateTimeUtc();
    const bool refusedItsArguments =
        !job.haveSummary && status == QProcess::NormalExit && exitCode == kRunnerUsage;
    if (job.haveSummary) {
        events::ApplySummary(r, job.summary);
    } else if (refusedItsArguments) {
        // Nothing was done to the unit: the runner did not take what it was given, and
        // would not take it for the next unit either.
        r.result = records::Result::Failed;
        r.exitStatus = exitCode;
        r.message = "the runner refused the settings it was given: " +
                    QString::fromLocal8Bit(job.errorTail).trimmed().split('\n').first();
    } else {
        // The runner died before its verdict: whatever it had done, the unit's state is
        // not known.
        r.result = records::Result::UnitLost;
        const QString tail = QString::fromLocal8Bit(job.errorTail).trimmed().split('\n').last();
        r.message = status == QProcess::CrashExit && exitCode > 0
                        ? "the runner was ended by " + signalText(exitCode)
                        : QString("the runner ended with status %1 and no result").arg(exitCode);
        if (!tail.isEmpty()) {
            r.message += ": " + tail;
        }
        r.exitStatus = status == QProcess::CrashExit ? 128 + exitCode : exitCode;
    }
    // Closed by the station in the middle of the firmware: the unit waits in its boot
    // loader, and any slot finishes it.
    const bool leftInBootLoader =
        r.result == records::Result::Interrupted &&
        job.summary.value(events::key::kLastPhase).toString() == events::phase::kBootLoader;
    if (leftInBootLoader) {
        r.message = kLeftInBootLoader;
    }
    // A unit another program was updating is not counted as this slot's update (its row
    // says what happened), and the slot waits for it to be unplugged.
    const bool claimed = r.result == records::Result::Claimed;
    QString why;
    if (!r.id.isEmpty() && !records_.write(r, why)) {
        emit recordError(QString("slot %1: cannot write its record: %2").arg(s.label, why));
    }
    ++ended_;
    if (!claimed) {
        ++s.updates;
        (r.result == records::Result::Ok        ? ok_
         : r.result == records::Result::Refused ? refused_
                                                : failed_) += 1;
    }
    s.lastVerdict = r.result;
    s.lastVerdictAt = now();
    s.message = r.message;
    s.cure = leftInBootLoader ? QString() : job.summary.value(events::key::kCure).toString();
    UpdateEnd end;
    end.record = r;
    end.recovered = job.foundInBootLoader;
    end.elapsedS = std::round((now() - s.startedAt) * 1000) / 1000;
    end.cure = s.cure;
    emit updateEnded(index, end);
    // A unit that left mid-update and came back is not done: the slot takes it again at
    // once, without waiting for it to be unplugged.
    const bool again =
        job.returned && r.result != records::Result::Ok && r.result != records::Result::Refused;
    setState(index, refusedItsArguments          ? SlotState::Stopped
                    : options_.simulate || again ? SlotState::Waiting
                                                 : SlotState::AwaitingUnplug);
    // The process object goes with the next launch, not inside its own signal.
    QTimer::singleShot(0, this, [this] { scan(); });
}

void Station::checkFinished() {
    if (finished_) {
        return;
    }
    const bool allLaunched = options_.units > 0 && launched_ >= options_.units;
    const bool allStopped = std::all_of(slots_.begin(), slots_.end(), [](const SlotStatus& s) {
        return s.state == SlotState::Stopped;
    });
    if ((draining_ || allLaunched || (allStopped && !slots_.empty())) && ended_ == launched_) {
        finished_ = true;
        emit finished();
    }
}

} // namespace trm::station
