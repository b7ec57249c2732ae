// One update, followed through the very same main window: the run presses
// "Start Program " once the unit is found, answers each message box as an operator would
// (OK), turns what the window does into phases and events, and ends with a summary and
// an exit status.
#pragma once

#include "app/Isp.h"
#include "hid/HidBackend.h"
#include "runner/Options.h"
#include "runner/Phases.h"
#include "runner/Presence.h"
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
    // The unit back after a removal mid-update: what the run does about it.
    void onReturned(bool runIdentity);

    const Options& o_;
    UnitSource& source_;
    RunRecord& record_;
    Report& out_;
    const char* version_;
    TfmIsp* w_;
    Phases phases_;
    std::unique_ptr<cli::SignalEvents> stop_;

    UnitWatch watch_;

    // Where the run stands with the window's button and its verdict.
    enum class Stage {
        WaitingToPress, // "Start Program " not pressed yet (or to press again)
        Pressed,        // pressed: the update is the window's
        ProgramOk,      // " Program OK !! " shown; the run ends once UpdateDone is taken
    };
    Stage stage_ = Stage::WaitingToPress;
    int exitCode_ = -1;
    bool screenshotTaken_ = false;
    bool interrupted_ = false; // closed by a signal
    std::optional<HidDeviceInfo> denied_;
    int unitType_ = -1;
    QString identityText_;
    QJsonArray texts_;
};

} // namespace trm::runner
