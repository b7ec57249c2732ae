// trm415-run's exit statuses, and the result each names in its summary and records.
#pragma once

namespace trm::runner {

enum Exit {
    kOk = 0,
    kFailed = 1,
    kUsage = 2,
    kRefused = 3,
    kBootLoaderError = 4,
    kTimeout = 5,
    kCannotOpen = 6,
    kNoUnit = 7,
    kUnitLost = 8,
};

// "ok", "refused", "boot-loader error", "time-out", "cannot open", "no unit", "unit
// lost", or "failed" for any other status.
inline const char* ResultName(int code) {
    switch (code) {
    case kOk:
        return "ok";
    case kRefused:
        return "refused";
    case kBootLoaderError:
        return "boot-loader error";
    case kTimeout:
        return "time-out";
    case kCannotOpen:
        return "cannot open";
    case kNoUnit:
        return "no unit";
    case kUnitLost:
        return "unit lost";
    default:
        return "failed";
    }
}

} // namespace trm::runner
