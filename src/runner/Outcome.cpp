// How a run ends: the checks of a simulated or replayed unit, the summary, the record.
#include "runner/UpdateRun.h"

#include "cli/RunnerEvents.h"
#include "firmware/BuiltinImageBytes.h"
#include "hid/Recording.h"
#include "runner/Cures.h"
#include "runner/ExitStatus.h"
#include "runner/Images.h"
#include "sim/ExpectedImages.h"
#include "sim/Replay.h"

#include <cmath>

namespace trm::runner {

int UpdateRun::checkReplay(int code, QJsonObject& summary) {
    sim::ReplayUnit* replay = source_.replay();
    if (!replay) {
        return code;
    }
    const auto differences = replay->differences();
    const int left = replay->writesLeft();
    const bool complete = replay->recording().complete;
    QJsonArray list;
    for (const auto& d : differences) {
        list.append(QString::fromStdString(d.text()));
    }
    // A whole recording the program did not write to its end differs from it too.
    const bool shortOfIt = complete && left > 0 && code == kOk;
    out_.event(
        "replay", "replay",
        QString("%1 of %2 recorded reports written as recorded, %3 difference(s)%4")
            .arg(replay->writesMatched())
            .arg(replay->totalWrites())
            .arg(differences.size())
            .arg(shortOfIt ? QString(", %1 recorded reports never written").arg(left) : QString()),
        {{"file", QString::fromStdString(o_.scenario.replayFile)},
         {"strict", o_.scenario.replayStrict},
         {"writes_matched", replay->writesMatched()},
         {"writes_left", left},
         {"differences", list}},
        differences.empty() && !shortOfIt ? Tone::Good : Tone::Bad);
    summary.insert("replay_differences",
                   static_cast<int>(differences.size()) + (shortOfIt ? 1 : 0));
    if (code == kOk && o_.scenario.replayStrict && (!differences.empty() || shortOfIt)) {
        return kFailed;
    }
    return code;
}

int UpdateRun::checkSimulatedUnit(int code, bool sent, QJsonObject& summary) {
    sim::SimUnit* unit = source_.simUnit();
    if (!unit || !sent) {
        return code;
    }
    const bool holds = sim::HoldsBuiltinImages(*unit, w_->imageSel);
    out_.event("verify", "verify",
               QString("the simulated unit %1 the built-in images of pair %2 byte for byte")
                   .arg(holds ? "holds" : "does not hold")
                   .arg(w_->imageSel),
               {{"holds_builtin_images", holds}, {events::key::kImagePair, w_->imageSel}},
               holds ? Tone::Good : Tone::Plain);
    summary.insert("holds_builtin_images", holds);
    return code == kOk && !holds ? kFailed : code;
}

int UpdateRun::conclude() {
    int code = exitCode_ < 0 ? kFailed : exitCode_;
    QJsonObject summary;
    const bool sent = code == kOk || phases_.ended(events::phase::kBootLoader) ||
                      phases_.running(events::phase::kBootLoader);
    code = checkReplay(code, summary);
    code = checkSimulatedUnit(code, sent, summary);
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
