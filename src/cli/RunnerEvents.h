// The contract between trm415-run and whoever reads its --json output (trm415-station
// above all): the events' names and the fields they carry, stated once. Every line is
// one JSON object with "schema", "event" and "t" (seconds since the run began); the
// summary comes last. The man page of trm415-run documents every event and field.
#pragma once

#include "records/UpdateRecord.h"

#include <QJsonObject>

namespace trm::events {

inline constexpr int kSchema = 1;

// Events.
inline constexpr const char* kStart = "start";       // the run begins
inline constexpr const char* kUnit = "unit";         // a unit is found (identity, serial)
inline constexpr const char* kDenied = "denied";     // a unit cannot be opened
inline constexpr const char* kClaimed = "claimed";   // another program holds the unit
inline constexpr const char* kPhase = "phase";       // a phase starts or ends
inline constexpr const char* kProgress = "progress"; // every 10 % of a programming phase
inline constexpr const char* kIdentity = "identity"; // the verdict on the unit
inline constexpr const char* kMessage = "message";   // a message box, answered with OK
inline constexpr const char* kTimeout = "timeout";
inline constexpr const char* kInterrupted = "interrupted";
inline constexpr const char* kUnitRemoved = "unit-removed";   // the unit left mid-update
inline constexpr const char* kUnitReturned = "unit-returned"; // and came back
inline constexpr const char* kNoReply = "no-reply";           // attached, silent for 5 s; or again
inline constexpr const char* kSummary = "summary";            // the last line: the outcome

// The phases of an update, as "phase" events name them; the timed ones are the
// records' phases.
namespace phase {
inline constexpr const char* kIdentityQuery = records::kRecordedPhases[0];
inline constexpr const char* kRestartToBootLoader = records::kRecordedPhases[1];
inline constexpr const char* kBootLoader = records::kRecordedPhases[2];
inline constexpr const char* kRestartToApplication = records::kRecordedPhases[3];
inline constexpr const char* kDspDownload = records::kRecordedPhases[4];
} // namespace phase

// Fields.
namespace key {
inline constexpr const char* kSchema = "schema";
inline constexpr const char* kEvent = "event";
inline constexpr const char* kTime = "t";
inline constexpr const char* kPhase = "phase";
inline constexpr const char* kState = "state"; // of a phase: "start" or "end"
inline constexpr const char* kPercent = "percent";
inline constexpr const char* kPosition = "position";
inline constexpr const char* kMaximum = "maximum";
inline constexpr const char* kSerial = "serial";
inline constexpr const char* kPort = "port";
inline constexpr const char* kNode = "node";
inline constexpr const char* kMeaning = "meaning"; // of a removal: where the unit is now
// The summary's.
inline constexpr const char* kResult = "result";
inline constexpr const char* kExitStatus = "exit_status";
inline constexpr const char* kMessages = "messages";
inline constexpr const char* kIdentityText = "identity_text";
inline constexpr const char* kUnitType = "unit_type";
inline constexpr const char* kImagePair = "image_pair";
inline constexpr const char* kMcuSha256 = "mcu_sha256";
inline constexpr const char* kDspSha256 = "dsp_sha256";
inline constexpr const char* kDurations = "durations_s";
inline constexpr const char* kElapsed = "elapsed_s";
inline constexpr const char* kRecordId = "record_id";
inline constexpr const char* kCure = "cure";            // what to do about a failure
inline constexpr const char* kLastPhase = "last_phase"; // the phase begun last
} // namespace key

inline constexpr const char* kPhaseStart = "start";
inline constexpr const char* kPhaseEnd = "end";

// Fills the outcome of `r` from a runner's summary: result, exit status, message (the
// last one shown), identity, unit type, image pair, the images' SHA-256 and the phase
// durations. Fields missing from the summary are left as they are.
void ApplySummary(records::UpdateRecord& r, const QJsonObject& summary);

} // namespace trm::events
