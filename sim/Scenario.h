// Scenarios of the simulated unit for the headless runner: a comma-separated list of
// settings, e.g. "identity=TRM415 V0103P 2020,restart=500" or "drop=data:100".
#pragma once

#include "sim/SimUnit.h"

#include <optional>
#include <string>

namespace trm::sim {

// Parses `text` into `scenario` (starting from the defaults). Returns an error message
// when a setting is not understood.
std::optional<std::string> ParseScenario(const std::string& text, UnitScenario& scenario);

// The settings, one per line, for --help.
const char* ScenarioHelp();

} // namespace trm::sim
