// The unit as a run watches it from outside the window: whether it was ever found and is
// on the bus now, its leaving during the update and coming back, and a unit still
// attached that stops answering. Observation only: the window does as it always does;
// the watch says so in events, and tells the run what a return means for it.
#pragma once

#include "runner/Phases.h"
#include "runner/Report.h"

#include <QObject>
#include <QString>
#include <QTimer>

namespace trm {
class TfmIsp;
}

namespace trm::runner {

class UnitWatch : public QObject {
public:
    // `window` and everything else passed in must outlive the watch.
    UnitWatch(Report& out, Phases& phases, TfmIsp& window);

    // Starts watching the window's replies for silence.
    void start();

    // The window shows the unit in one of its identities, or no unit.
    void found() { seen_ = present_ = true; }
    void gone() { present_ = false; }
    bool everSeen() const { return seen_; }
    bool present() const { return present_; }

    // Where the programming phase under way stands, and the window's last step: what a
    // removal or a silence is said to have interrupted.
    void progress(int position, int maximum);
    void step(const QString& text);
    // The identity query went unanswered: the window goes on with pair 1, its restart
    // request waiting behind the query, so the unit is silent during that restart.
    void identityUnanswered() { identityUnanswered_ = true; }

    // The claimed unit has left the bus. Outside its restarts, during an update, that is
    // a removal: said at once with what it means.
    void removed();

    enum class Return {
        NotAway,    // it had not been removed (a restart, or the first arrival)
        Resumes,    // back in its application during the firmware: the window goes on
        PressAgain, // back during the identity query: nothing was written; start again
        Lost,       // anything else: the update does not go on in this run
    };
    // The unit is back, in its application (`runIdentity`) or its boot loader.
    Return returned(bool runIdentity);

private:
    bool eventFilter(QObject* watched, QEvent* e) override;
    void checkReplies();
    QString removalMeaning() const;

    Report& out_;
    Phases& phases_;
    TfmIsp& w_;
    bool seen_ = false;
    bool present_ = false;
    int position_ = 0, maximum_ = 0;
    QString lastStep_;
    bool identityUnanswered_ = false;
    bool removedMidUpdate_ = false; // left during the update, not yet back
    double removedAt_ = 0;
    QString removedPhase_;
    QTimer replyWatch_;
    double lastReplyAt_ = 0;
    bool silenceSaid_ = false;
};

} // namespace trm::runner
