// How an update ended: one enum, its stored names (in the records, the runner's JSON,
// the page and the man pages) and which of them count as failures. Nothing else names
// a result or compares one as text.
#pragma once

#include <QString>

#include <optional>

namespace trm::records {

enum class Result {
    Unfinished,                // the row is begun, the update under way
    Ok,                        // " Program OK !! " and the unit told it is done
    Refused,                   // the unit's type or firmware was refused; nothing written
    BootLoaderError,           // the boot loader answered wrong or not at all
    Timeout,                   // the run's time limit passed with the update under way
    CannotOpen,                // a unit is present but cannot be opened
    Claimed,                   // another program was updating the unit: left alone
    NoUnit,                    // no unit was found within the time limit
    UnitLost,                  // the unit left, or its runner ended with no verdict
    Interrupted,               // the run was closed by a signal
    InterruptedStationStopped, // left unfinished by a station that stopped
    Failed,                    // any other failure
};

inline constexpr Result kAllResults[] = {
    Result::Unfinished,
    Result::Ok,
    Result::Refused,
    Result::BootLoaderError,
    Result::Timeout,
    Result::CannotOpen,
    Result::Claimed,
    Result::NoUnit,
    Result::UnitLost,
    Result::Interrupted,
    Result::InterruptedStationStopped,
    Result::Failed,
};

// The name the records, the JSON and the man pages use ("boot-loader error", ...).
const char* ResultName(Result r);
QString ResultText(Result r);
// The result a stored name stands for; nullopt for a name no trm415 writes.
std::optional<Result> ResultFromName(const QString& name);
// A stored name read back: an unknown one is a failure of an unknown kind.
Result ResultOrFailed(const QString& name);

// Every result that is neither ok, refused, still under way nor another program's unit.
bool IsFailure(Result r);

// How a result is shown, on the page as on a terminal: "good" (ok), "bad" (refused, or a
// failure) or "" (still under way).
const char* ResultTone(Result r);

// The name --result and the page's filter take for every failure at once.
inline constexpr const char* kFailuresGroup = "failed";

} // namespace trm::records
