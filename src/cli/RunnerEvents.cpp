// A runner's summary applied to the record of its update.
#include "cli/RunnerEvents.h"

#include <QJsonArray>

namespace trm::events {

void ApplySummary(records::UpdateRecord& r, const QJsonObject& s) {
    if (s.contains(key::kResult)) {
        r.result = records::ResultOrFailed(s.value(key::kResult).toString());
    }
    if (s.contains(key::kExitStatus)) {
        r.exitStatus = s.value(key::kExitStatus).toInt(-1);
    }
    const QJsonArray messages = s.value(key::kMessages).toArray();
    if (!messages.isEmpty()) {
        r.message = messages.last().toString();
    }
    if (s.contains(key::kIdentityText)) {
        r.identity = s.value(key::kIdentityText).toString();
    }
    if (s.contains(key::kUnitType)) {
        r.unitType = s.value(key::kUnitType).toInt(-1);
    }
    if (s.contains(key::kImagePair)) {
        r.imagePair = s.value(key::kImagePair).toInt(-1);
    }
    if (s.contains(key::kMcuSha256)) {
        r.mcuSha256 = s.value(key::kMcuSha256).toString();
    }
    if (s.contains(key::kDspSha256)) {
        r.dspSha256 = s.value(key::kDspSha256).toString();
    }
    if (s.value(key::kDurations).isObject()) {
        r.durations = s.value(key::kDurations).toObject();
    }
}

} // namespace trm::events
