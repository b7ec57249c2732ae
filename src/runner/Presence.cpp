// The unit watched from outside the window.
#include "runner/Presence.h"

#include "app/Isp.h"
#include "cli/RunnerEvents.h"
#include "link/LinkMessages.h"

#include <QEvent>

#include <cmath>

namespace trm::runner {

namespace {

// Seconds without a reply before the run says the unit does not answer.
constexpr double kNoReplyS = 5.0;

} // namespace

UnitWatch::UnitWatch(Report& out, Phases& phases, TfmIsp& window)
    : out_(out), phases_(phases), w_(window) {}

void UnitWatch::start() {
    w_.installEventFilter(this);
    replyWatch_.setInterval(1000);
    connect(&replyWatch_, &QTimer::timeout, this, &UnitWatch::checkReplies);
    replyWatch_.start();
}

void UnitWatch::progress(int position, int maximum) {
    if (position > 0) {
        position_ = position;
        maximum_ = maximum;
    }
}

void UnitWatch::step(const QString& text) {
    lastStep_ = text;
    if (text == "Connect" || text == "Dsp Program") {
        position_ = maximum_ = 0;
    }
}

QString UnitWatch::removalMeaning() const {
    const int percent = maximum_ > 0 ? position_ * 100 / maximum_ : 0;
    if (removedPhase_ == events::phase::kBootLoader) {
        return QString("the unit left during the boot-loader exchange at %1 %: it is in its "
                       "boot loader; plug it back in and the update goes on")
            .arg(percent);
    }
    if (removedPhase_ == events::phase::kDspDownload) {
        return QString("the unit left during the signal-processor download at %1 %: its new "
                       "firmware is written, its signal-processor program is not; plug it "
                       "back in and run the update again")
            .arg(percent);
    }
    return "the unit left during the identity query: nothing was written; plug it back in "
           "and the update starts again";
}

void UnitWatch::removed() {
    const QString phase = phases_.current();
    // The unit leaves on its own to restart into its other identity; that is the road.
    if (removedMidUpdate_ || phase.isEmpty() ||
        phases_.running(events::phase::kRestartToBootLoader) ||
        phases_.running(events::phase::kRestartToApplication)) {
        return;
    }
    removedMidUpdate_ = true;
    removedAt_ = out_.now();
    removedPhase_ = phase;
    out_.endProgress();
    const int percent = maximum_ > 0 ? position_ * 100 / maximum_ : -1;
    out_.event(events::kUnitRemoved, "unit removed", removalMeaning(),
               {{events::key::kPhase, phase},
                {events::key::kPercent, percent},
                {events::key::kPosition, position_},
                {events::key::kMaximum, maximum_},
                {events::key::kMeaning, removalMeaning()}},
               Tone::Bad);
}

UnitWatch::Return UnitWatch::returned(bool runIdentity) {
    if (!removedMidUpdate_) {
        return Return::NotAway;
    }
    removedMidUpdate_ = false;
    const double away = out_.now() - removedAt_;
    // Back in its application while the firmware is being written, the window goes on
    // with the signal-processor program; nothing was written yet after a removal during
    // the identity query, so the run presses "Start Program " again. Anything else does
    // not go on in this run: the window keeps a unit that left mid-update busy, as an
    // operator's window does, and a new run finishes it.
    const bool resumes = (runIdentity && w_.stage == 3) ||
                         (runIdentity && removedPhase_ == events::phase::kIdentityQuery);
    out_.event(events::kUnitReturned, "unit returned",
               QString("back in its %1 after %2 s%3")
                   .arg(runIdentity ? "application" : "boot loader")
                   .arg(away, 0, 'f', 1)
                   .arg(resumes ? ": the update goes on"
                                : ": the update does not go on in this run; run it again"),
               {{"identity", runIdentity ? "run" : "update"},
                {"away_s", std::round(away * 10) / 10},
                {"resumes", resumes}},
               resumes ? Tone::Plain : Tone::Bad);
    if (!resumes) {
        return Return::Lost;
    }
    return removedPhase_ == events::phase::kIdentityQuery ? Return::PressAgain : Return::Resumes;
}

bool UnitWatch::eventFilter(QObject* watched, QEvent* e) {
    if (watched == &w_ && static_cast<int>(e->type()) == WM_LINK_REPLY) {
        lastReplyAt_ = out_.now();
        if (silenceSaid_) {
            silenceSaid_ = false;
            out_.event(events::kNoReply, "no reply", "the unit answers again",
                       {{events::key::kPhase, phases_.current()}, {"resumed", true}});
        }
    }
    return QObject::eventFilter(watched, e);
}

void UnitWatch::checkReplies() {
    const QString phase = phases_.current();
    // A restart is the unit away on purpose, unless its identity query went unanswered:
    // then the IapReset waits behind it, and the unit is silent.
    const bool restarting =
        (phases_.running(events::phase::kRestartToBootLoader) && !identityUnanswered_) ||
        phases_.running(events::phase::kRestartToApplication);
    const bool waiting =
        !phase.isEmpty() && !removedMidUpdate_ && present_ && w_.link != nullptr && !restarting;
    if (!waiting) {
        lastReplyAt_ = out_.now();
        return;
    }
    const double silent = out_.now() - lastReplyAt_;
    if (silenceSaid_ || silent < kNoReplyS) {
        return;
    }
    silenceSaid_ = true;
    const QString packet =
        maximum_ > 0 ? QString(", after %1 of %2").arg(position_).arg(maximum_) : QString();
    out_.event(
        events::kNoReply, "no reply",
        QString("the unit is attached but has not answered for %1 s (waiting in %2%3)")
            .arg(silent, 0, 'f', 0)
            .arg(lastStep_.isEmpty() ? "phase " + phase : "step \"" + lastStep_ + "\"", packet),
        {{events::key::kPhase, phase},
         {"step", lastStep_},
         {events::key::kPosition, position_},
         {events::key::kMaximum, maximum_},
         {"silent_s", std::round(silent * 10) / 10},
         {"resumed", false}},
        Tone::Bad);
}

} // namespace trm::runner
