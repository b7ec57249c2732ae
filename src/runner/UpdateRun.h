// One update, followed through the very same main window: the run presses
// "Start Program " once the unit is found, answers each message box as an operator would
// (OK), turns what the window does into phases and events, and ends with a summary and
// an exit status.
#pragma once

#include "app/Isp.h"
#include "hid/HidBackend.h"
#include "runner/Options.h"
#include "runner/Phases.h"
#include "runner/Report.h"
#include "runner/RunRecord.h"
#include "runner/UnitSource.h"

#include <QJsonArray>
#include <QObject>
#include <QTimer>

#include <memory>
#include <optional>

namespace trm::cli {
class SignalEvents;
}

namespace trm::runner {

class UpdateRun : public QObject {
public:
    // Follows the global main window fmIsp, which must exist. Everything passed in must
    // outlive the run.
    UpdateRun(const Options& o, UnitSource& source, RunRecord& record, Report& out,
              const char* version);
    ~UpdateRun() override;

    // Says the run has begun, plugs the simulated unit in or starts the replay, and arms
    // the time-out and the termination signals. The event loop does the rest.
    void start();
    // After the event loop has ended: the checks of a simulated or replayed unit, the
    // summary (also into the record and the recording), the window left alone. Returns
    // the exit status.
    int conclude();

private:
    void finish(int code, int delayMs);
    void onDenied(const HidDeviceInfo& info);
    void onPanel(int panel, const QString& text);
    void pressStartWhenEnabled();
    void onStepLabel(const QString& text);
    void onCommandSent(int command);
    void finishOnceUpdateDoneIsTaken();
    void onMessage(MessageKind kind, const QString& text);
    void onTimeout();
    void onSignal(int signalNumber);
    void startReplay();
    // The unit leaving and coming back outside the restarts (Presence.cpp).
    void onRemoved();
    void onReturned(bool runIdentity);
    // What the removal means, by the phase the update was in.
    QString removalMeaning() const;
    // Replies watched from outside the window: a unit that stops answering while it is
    // still attached is said to be so after kNoReplyS.
    bool eventFilter(QObject* watched, QEvent* e) override;
    void checkReplies();
    // The phase under way, for the events.
    QString currentPhase() const;
    // The summary's checks of the unit: a replay's differences, a simulated unit's
    // contents. May turn an ok run into a failure.
    int checkReplay(int code, QJsonObject& summary);
    int checkSimulatedUnit(int code, bool sent, QJsonObject& summary);

    const Options& o_;
    UnitSource& source_;
    RunRecord& record_;
    Report& out_;
    const char* version_;
    TfmIsp* w_;
    Phases phases_;
    std::unique_ptr<cli::SignalEvents> stop_;

    int exitCode_ = -1;
    bool okShown_ = false;
    bool pressed_ = false;
    bool shot_ = false;
    bool unitSeen_ = false;
    bool present_ = false; // the unit is on the bus now, in either identity
    bool interrupted_ = false;
    std::optional<HidDeviceInfo> denied_;
    int unitType_ = -1;
    QString identityText_;
    QJsonArray texts_;
    QString lastStep_;

    // Progress of the programming phase under way (the window resets its bar when the
    // unit leaves; the events tell where it was).
    int position_ = 0, maximum_ = 0;
    bool removed_ = false; // the claimed unit left during the update, not yet back
    double removedAt_ = 0;
    QString removedPhase_;
    QTimer replyWatch_;
    double lastReplyAt_ = 0;
    bool noReplyShown_ = false;
    bool fallback_ = false; // the identity query went unanswered: pair 1 was chosen
};

} // namespace trm::runner
