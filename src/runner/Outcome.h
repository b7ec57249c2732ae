// The checks that close a run of a simulated or replayed unit: what the unit was sent
// against what it should hold. Each says what it found as an event and in the summary,
// and may turn an ok run into a failure.
#pragma once

#include "runner/Options.h"
#include "runner/Report.h"

#include <QJsonObject>

namespace trm::sim {
class ReplayUnit;
class SimUnit;
} // namespace trm::sim

namespace trm::runner {

// A replay's differences from its recording, and a whole recording not written to its
// end. Strict replays fail on either. Returns the exit status `code` becomes.
int CheckReplay(sim::ReplayUnit& replay, const Options& o, int code, Report& out,
                QJsonObject& summary);

// Whether the simulated unit holds the built-in images of `imagePair` byte for byte.
int CheckSimulatedUnit(sim::SimUnit& unit, int imagePair, int code, Report& out,
                       QJsonObject& summary);

} // namespace trm::runner
