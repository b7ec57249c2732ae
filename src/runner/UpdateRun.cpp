// Following the main window through one update.
#include "runner/UpdateRun.h"

#include "app/Isp.h"
#include "cli/RunnerEvents.h"
#include "cli/Signals.h"
#include "core/PostToThread.h"
#include "diag/Fhiddata.h"
#include "firmware/BuiltinImageBytes.h"
#include "hid/PortBound.h"
#include "hid/Recording.h"
#include "runner/Cures.h"
#include "runner/ExitStatus.h"
#include "runner/Images.h"
#include "runner/Outcome.h"
#include "sim/Replay.h"
#include "sim/SimUnit.h"
#include "workflow/Gate.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>

#include <cmath>
#include <cstring>

namespace trm::runner {
namespace {

QString quoted(const QString& s) {
    return "\"" + s + "\"";
}

} // namespace

UpdateRun::UpdateRun(const Options& o, UnitSource& source, RunRecord& record, Report& out,
                     const char* version)
    : o_(o), source_(source), record_(record), out_(out), version_(version), w_(fmIsp),
      phases_(out), watch_(out, phases_, *fmIsp) {}

UpdateRun::~UpdateRun() = default;

void UpdateRun::finish(int code, int delayMs) {
    if (exitCode_ < 0) {
        exitCode_ = code;
        QTimer::singleShot(delayMs, this, [] { QApplication::exit(0); });
    }
}

void UpdateRun::start() {
    out_.event(events::kStart, "trm415-run",
               QString("%1 on %2")
                   .arg(version_, o_.simulate ? "the simulated unit" : "this machine's units"),
               {{"version", version_},
                {"simulated", o_.simulate},
                {"scenario", QString::fromStdString(o_.scenarioText)}});

    // A unit present but not openable: the window tells it; the run ends with its own
    // status (unless the unit is found usable meanwhile).
    auto windowDenied = w_->HidCtl->OnDeviceAccessDenied;
    w_->HidCtl->OnDeviceAccessDenied = [this, windowDenied](const HidDeviceInfo& info) {
        if (!info.heldBy.empty()) {
            // Another program is updating it: not ours to touch, nor to record.
            out_.event(events::kClaimed, "unit",
                       QString("%1 on port %2 is being updated by %3: it is left alone")
                           .arg(QString::fromStdString(info.path),
                                QString::fromStdString(UsbPortOf(info.instanceId)),
                                QString::fromStdString(info.heldBy)),
                       {{events::key::kNode, QString::fromStdString(info.path)},
                        {"held_by", QString::fromStdString(info.heldBy)}},
                       Tone::Bad);
            if (windowDenied) {
                windowDenied(info);
            }
            finish(kClaimed, 100);
            return;
        }
        onDenied(info);
        if (windowDenied) {
            windowDenied(info);
        }
        if (!watch_.everSeen()) {
            finish(kCannotOpen, 100);
        }
    };
    connect(w_, &TfmIsp::panelChanged, this, &UpdateRun::onPanel);
    connect(w_, &TfmIsp::unitTypeReply, this, [this](int type) { unitType_ = type; });
    connect(w_, &TfmIsp::identityReply, this,
            [this](const QString& text) { identityText_ = text; });
    connect(w_, &TfmIsp::progressChanged, this, [this](int position, int maximum) {
        watch_.progress(position, maximum);
        // The window's bar runs to the last block's number, from block 0: the blocks
        // sent are one more.
        const bool blocks = phases_.running(events::phase::kDspDownload) && maximum > 0;
        out_.progress(blocks && position > 0 ? position + 1 : position,
                      blocks ? maximum + 1 : maximum);
    });
    connect(w_, &TfmIsp::stepLabelChanged, this, &UpdateRun::onStepLabel);
    connect(w_, &TfmIsp::commandSent, this, &UpdateRun::onCommandSent);
    w_->operatorStandIn = [this](MessageKind kind, const QString& text) { onMessage(kind, text); };
    if (o_.trace) {
        fmHidData->show();
        connect(fmHidData->hbHidData->model(), &QAbstractItemModel::rowsInserted, this,
                [this](const QModelIndex&, int first, int last) {
                    for (int r = first; r <= last; ++r) {
                        const QString line = fmHidData->hbHidData->item(r)->text();
                        out_.event("trace", "trace", line, {{"line", line}});
                    }
                });
    }
    QTimer::singleShot(o_.timeoutS * 1000, this, &UpdateRun::onTimeout);
    // Asked to stop: the window closes as its close button would close it (the link is
    // closed, nothing more is sent), and the run ends as a failure.
    stop_ = std::make_unique<cli::SignalEvents>();
    connect(stop_.get(), &cli::SignalEvents::received, this, &UpdateRun::onSignal);
    watch_.start();
    source_.plugIn();
    startReplay();
}

void UpdateRun::onDenied(const HidDeviceInfo& info) {
    denied_ = info;
    records::UpdateRecord& row = record_.row();
    row.serial = QString::fromStdString(info.serial);
    if (row.port.isEmpty()) {
        row.port = QString::fromStdString(UsbPortOf(info.instanceId));
    }
    record_.begin();
    out_.event(events::kDenied, "unit",
               QString("%1 cannot be opened for reading and writing: %2; "
                       "try 'trm415-run --check'")
                   .arg(QString::fromStdString(info.path),
                        QString::fromLocal8Bit(std::strerror(info.accessError))),
               {{events::key::kNode, QString::fromStdString(info.path)},
                {"error", QString::fromLocal8Bit(std::strerror(info.accessError))}},
               Tone::Bad);
}

void UpdateRun::onPanel(int panel, const QString& text) {
    if (panel != 1) {
        return;
    }
    if (text == kDisconnect || text == kNoDevice) {
        watch_.gone();
    }
    // The window shows "No Device" itself after the reset packet, with the unit still
    // claimed; a unit that has really gone is no longer the window's device.
    if (text == kNoDevice && w_->device == nullptr) {
        watch_.removed();
    }
    const bool run = text == kDetectRunHid;
    if (!run && text != kDetectUpdateHid) {
        return;
    }
    watch_.found();
    THidDevice* d = w_->device;
    const QString node = d ? QString::fromStdString(d->DevicePath()) : QString();
    const QString where = d ? QString::fromStdString(UsbPortOf(d->InstanceId())) : QString();
    const QString serial = d ? QString::fromStdString(d->SerialNumber()) : QString();
    out_.event(events::kUnit, "unit found",
               QString("%1 identity (%2)%3%4%5")
                   .arg(run ? "run" : "update", quoted(text), node.isEmpty() ? "" : " at " + node,
                        where.isEmpty() ? "" : ", USB port " + where,
                        serial.isEmpty() ? "" : ", serial " + serial),
               {{"identity", run ? "run" : "update"},
                {"text", text},
                {events::key::kNode, node},
                {events::key::kPort, where},
                {events::key::kSerial, serial}});
    records::UpdateRecord& row = record_.row();
    if (!where.isEmpty()) {
        row.port = where;
    }
    if (!serial.isEmpty()) {
        row.serial = serial;
    }
    record_.begin();
    if (run && phases_.running(events::phase::kRestartToApplication)) {
        phases_.end("back in its application");
    } else if (!run && phases_.running(events::phase::kRestartToBootLoader)) {
        phases_.end("in its boot loader");
    }
    onReturned(run);
    QTimer::singleShot(0, this, &UpdateRun::pressStartWhenEnabled);
}

// Presses "Start Program " once it is enabled for the unit just found.
void UpdateRun::pressStartWhenEnabled() {
    if (!o_.screenshot.empty() && !screenshotTaken_) {
        screenshotTaken_ = true;
        const QString file = QString::fromStdString(o_.screenshot);
        const bool saved = w_->grab().save(file, "PNG");
        out_.event("screenshot", "screenshot",
                   QString("%1 %2").arg(file, saved ? "saved" : "NOT saved"),
                   {{"file", file}, {"saved", saved}});
    }
    if (stage_ == Stage::WaitingToPress && w_->btnStartProgram->isEnabled()) {
        stage_ = Stage::Pressed;
        phases_.begin(events::phase::kIdentityQuery, "identity query",
                      QString("pressing %1").arg(quoted("Start Program ")));
        w_->btnStartProgram->click();
    }
}

void UpdateRun::onStepLabel(const QString& text) {
    watch_.step(text);
    if (text == "Connect") {
        if (phases_.running(events::phase::kIdentityQuery)) {
            phases_.end(identityText_.isEmpty() ? "no answer: the unit is in its boot loader"
                                                : "accepted");
        } else {
            phases_.end();
        }
        phases_.begin(events::phase::kBootLoader, "boot loader",
                      QString("writing the microcontroller firmware, image pair %1 (%2 bytes)")
                          .arg(w_->imageSel)
                          .arg(w_->imageLength),
                      {{events::key::kImagePair, w_->imageSel}, {"bytes", w_->imageLength}});
        out_.beginProgress("boot loader", "packets");
    } else if (text == "MCU Reset") {
        phases_.end(QString("firmware written (%1 bytes)").arg(w_->imageLength));
        phases_.begin(events::phase::kRestartToApplication, "restart",
                      "the unit starts its new firmware");
    } else if (text == "Dsp Program") {
        phases_.end();
        phases_.begin(events::phase::kDspDownload, "signal processor",
                      QString("downloading the program of pair %1").arg(w_->imageSel),
                      {{events::key::kImagePair, w_->imageSel}});
        out_.beginProgress("signal processor", "blocks");
    }
    if (o_.verbose) {
        out_.event("step", "step", quoted(text), {{"text", text}});
    }
}

void UpdateRun::onCommandSent(int command) {
    if (command == cmd::IapReset && unitType_ < 0 && identityText_.isEmpty()) {
        // No answer to the identity query within 3000 ms: the window goes on with image
        // pair 1, its GetUnitType and IapReset queued behind the unanswered query.
        watch_.identityUnanswered();
        out_.event(events::kIdentity, "identity",
                   QString("no answer to the identity query within 3000 ms: the update goes "
                           "on with image pair %1")
                       .arg(w_->imageSel),
                   {{"verdict", "no answer"}, {events::key::kImagePair, w_->imageSel}});
        phases_.end("no answer", {}, Tone::Bad);
        phases_.begin(events::phase::kRestartToBootLoader, "restart",
                      "into the boot loader, once the unit answers");
    } else if (command == cmd::IapReset) {
        QJsonObject verdict{{events::key::kUnitType, unitType_},
                            {"text", identityText_},
                            {"verdict", "accepted"},
                            {events::key::kImagePair, w_->imageSel}};
        out_.event(events::kIdentity, "identity",
                   QString("unit type 0x%1, %2: accepted, image pair %3")
                       .arg(unitType_, 2, 16, QChar('0'))
                       .arg(quoted(identityText_))
                       .arg(w_->imageSel),
                   verdict, Tone::Good);
        phases_.end("accepted");
        phases_.begin(events::phase::kRestartToBootLoader, "restart", "into the boot loader");
    }
    if (command == cmd::UpdateDone && stage_ == Stage::ProgramOk) {
        finishOnceUpdateDoneIsTaken();
    }
}

void UpdateRun::finishOnceUpdateDoneIsTaken() {
    sim::ReplayUnit* replay = source_.replay();
    sim::SimUnit* unit = source_.simUnit();
    if (replay) {
        // Let the replay take it (and answer it) before the window goes.
        auto* poll = new QTimer(this);
        connect(poll, &QTimer::timeout, this, [this, poll, replay] {
            if (replay->writesLeft() == 0 || replay->silenced()) {
                poll->stop();
                finish(kOk, 100);
            }
        });
        poll->start(10);
        QTimer::singleShot(2000, this, [this] { finish(kOk, 0); });
        return;
    }
    if (!unit) {
        finish(kOk, 300);
        return;
    }
    // Wait until the simulated unit has taken it.
    auto* poll = new QTimer(this);
    connect(poll, &QTimer::timeout, this, [this, poll, unit] {
        if (unit->state().updateDone > 0) {
            poll->stop();
            finish(kOk, 0);
        }
    });
    poll->start(10);
}

void UpdateRun::onMessage(MessageKind kind, const QString& text) {
    const char* k = kind == MessageKind::Error         ? "error"
                    : kind == MessageKind::Information ? "information"
                                                       : "plain";
    texts_.append(text);
    const bool refusal =
        text == kInvalidUnitType || text == kTooOldVersion || text == kTooNewVersion;
    if (refusal) {
        out_.event(events::kIdentity, "identity", RefusalText(unitType_, identityText_, text),
                   {{events::key::kUnitType, unitType_},
                    {"text", identityText_},
                    {"verdict", "refused"},
                    {"refusal", text}},
                   Tone::Bad);
        phases_.end("refused", {}, Tone::Bad);
    } else if (text == kProgramOk) {
        phases_.end("program downloaded");
    }
    const Tone tone = text == kProgramOk                      ? Tone::Good
                      : kind == MessageKind::Error || refusal ? Tone::Bad
                                                              : Tone::Plain;
    out_.event(events::kMessage, "message", QString("%1 %2 -> OK").arg(k, quoted(text)),
               {{"kind", k}, {"text", text}}, tone);
    if (text == kProgramOk) {
        stage_ = Stage::ProgramOk;
    } else if (refusal) {
        finish(kRefused, 700); // let the refusal close its link first
    } else if (kind == MessageKind::Error && text.endsWith("Error !!")) {
        phases_.end("stopped", {}, Tone::Bad);
        finish(kBootLoaderError, 100);
    } else if (kind == MessageKind::Error) {
        finish(kFailed, 100);
    }
}

void UpdateRun::onTimeout() {
    const bool none = !watch_.everSeen();
    out_.event(events::kTimeout, "time-out",
               none ? QString("no unit found within %1 s").arg(o_.timeoutS)
                    : QString("no result after %1 s").arg(o_.timeoutS),
               {{"seconds", o_.timeoutS}, {"unit_found", !none}}, Tone::Bad);
    phases_.end("not finished", {}, Tone::Bad);
    finish(none ? (denied_ ? kCannotOpen : kNoUnit) : watch_.present() ? kTimeout : kUnitLost, 0);
}

void UpdateRun::onSignal(int signalNumber) {
    out_.event(events::kInterrupted, "interrupted",
               QString("signal %1 (%2): closing the window")
                   .arg(signalNumber)
                   .arg(QString::fromLocal8Bit(strsignal(signalNumber))),
               {{"signal", signalNumber}}, Tone::Bad);
    phases_.end("interrupted", {}, Tone::Bad);
    interrupted_ = true;
    w_->close();
    finish(kFailed, 0);
}

void UpdateRun::startReplay() {
    sim::ReplayUnit* replay = source_.replay();
    if (!replay) {
        return;
    }
    const bool strict = o_.scenario.replayStrict;
    replay->setDifferenceHandler([this, strict](const sim::ReplayDifference& d) {
        const QString text = QString::fromStdString(d.text());
        PostToThread(this, [this, strict, text, d] {
            out_.event("replay", "replay",
                       QString("%1: %2").arg(strict ? "difference, stopping" : "difference", text),
                       {{"difference", text},
                        {"write", d.write},
                        {"line", d.line},
                        {"offset", static_cast<qint64>(d.offset)}},
                       Tone::Bad);
            if (strict) {
                finish(kFailed, 100);
            }
        });
    });
    replay->start();
}

void UpdateRun::onReturned(bool runIdentity) {
    switch (watch_.returned(runIdentity)) {
    case UnitWatch::Return::NotAway:
    case UnitWatch::Return::Resumes:
        break;
    case UnitWatch::Return::Lost:
        phases_.end("the unit left", {}, Tone::Bad);
        finish(kUnitLost, 300);
        break;
    case UnitWatch::Return::PressAgain:
        phases_.end("the unit left", {}, Tone::Bad);
        stage_ = Stage::WaitingToPress;
        break;
    }
}

int UpdateRun::conclude() {
    int code = exitCode_ < 0 ? kFailed : exitCode_;
    QJsonObject summary;
    const bool sent = code == kOk || phases_.ended(events::phase::kBootLoader) ||
                      phases_.running(events::phase::kBootLoader);
    if (sim::ReplayUnit* replay = source_.replay()) {
        code = CheckReplay(*replay, o_, code, out_, summary);
    }
    if (sim::SimUnit* unit = source_.simUnit(); unit != nullptr && sent) {
        code = CheckSimulatedUnit(*unit, w_->imageSel, code, out_, summary);
    }
    namespace key = events::key;
    const records::Result result =
        interrupted_ && code != kOk ? records::Result::Interrupted : ResultOfExit(code);
    summary.insert(key::kResult, records::ResultText(result));
    summary.insert(key::kExitStatus, code);
    summary.insert(key::kMessages, texts_);
    summary.insert(key::kIdentityText, identityText_);
    summary.insert(key::kUnitType, unitType_);
    summary.insert(key::kImagePair, w_->imageSel);
    summary.insert(key::kMcuSha256, sent ? Sha256(BuiltinMcuBytes(w_->imageSel)) : QString());
    summary.insert(key::kDspSha256,
                   code == kOk ? Sha256(BuiltinDspBytes(w_->imageSel)) : QString());
    summary.insert(key::kDurations, phases_.durations());
    summary.insert(key::kElapsed, std::round(out_.now() * 1000) / 1000);
    summary.insert(key::kLastPhase, phases_.last());
    const QString lastMessage = texts_.isEmpty() ? QString() : texts_.last().toString();
    const QString cure = Cure(result, lastMessage, phases_.last());
    if (!cure.isEmpty()) {
        summary.insert(key::kCure, cure);
        out_.say("what to do", cure, Tone::Bad);
    }
    if (!record_.id().isEmpty()) {
        record_.finish(summary);
        summary.insert(key::kRecordId, record_.id());
    }
    out_.event(events::kSummary, "result",
               QString("%1, exit status %2").arg(records::ResultText(result)).arg(code), summary,
               code == kOk ? Tone::Good : Tone::Bad);
    if (SessionRecorder* recorder = source_.recorder()) {
        recorder->end({{"result", records::ResultText(result)}, {"exit_status", code}});
    }
    disconnect(w_, nullptr, this, nullptr);
    w_->operatorStandIn = [](MessageKind, const QString&) {};
    return code;
}

} // namespace trm::runner
