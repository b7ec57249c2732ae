// The closing checks of a simulated or replayed unit.
#include "runner/Outcome.h"

#include "cli/RunnerEvents.h"
#include "runner/ExitStatus.h"
#include "sim/ExpectedImages.h"
#include "sim/Replay.h"

#include <QJsonArray>

namespace trm::runner {

int CheckReplay(sim::ReplayUnit& replay, const Options& o, int code, Report& out,
                QJsonObject& summary) {
    const auto differences = replay.differences();
    const int left = replay.writesLeft();
    const bool complete = replay.recording().complete;
    QJsonArray list;
    for (const auto& d : differences) {
        list.append(QString::fromStdString(d.text()));
    }
    // A whole recording the program did not write to its end differs from it too.
    const bool shortOfIt = complete && left > 0 && code == kOk;
    out.event(
        "replay", "replay",
        QString("%1 of %2 recorded reports written as recorded, %3 difference(s)%4")
            .arg(replay.writesMatched())
            .arg(replay.totalWrites())
            .arg(differences.size())
            .arg(shortOfIt ? QString(", %1 recorded reports never written").arg(left) : QString()),
        {{"file", QString::fromStdString(o.scenario.replayFile)},
         {"strict", o.scenario.replayStrict},
         {"writes_matched", replay.writesMatched()},
         {"writes_left", left},
         {"differences", list}},
        differences.empty() && !shortOfIt ? Tone::Good : Tone::Bad);
    summary.insert("replay_differences",
                   static_cast<int>(differences.size()) + (shortOfIt ? 1 : 0));
    if (code == kOk && o.scenario.replayStrict && (!differences.empty() || shortOfIt)) {
        return kFailed;
    }
    return code;
}

int CheckSimulatedUnit(sim::SimUnit& unit, int imagePair, int code, Report& out,
                       QJsonObject& summary) {
    const bool holds = sim::HoldsBuiltinImages(unit, imagePair);
    out.event("verify", "verify",
              QString("the simulated unit %1 the built-in images of pair %2 byte for byte")
                  .arg(holds ? "holds" : "does not hold")
                  .arg(imagePair),
              {{"holds_builtin_images", holds}, {events::key::kImagePair, imagePair}},
              holds ? Tone::Good : Tone::Plain);
    summary.insert("holds_builtin_images", holds);
    return code == kOk && !holds ? kFailed : code;
}

} // namespace trm::runner
