// trm415-run's exit statuses, and the result each names in its summary and records.
#pragma once

#include "records/Result.h"

namespace trm::runner {

enum ExitStatus {
    kOk = 0,
    kFailed = 1,
    kUsage = 2,
    kRefused = 3,
    kBootLoaderError = 4,
    kTimeout = 5,
    kCannotOpen = 6,
    kNoUnit = 7,
    kUnitLost = 8,
    kClaimed = 9, // the unit was another program's: nothing was sent to it
};

// The result a run that ends with `code` names: a failure of no other kind for any
// status not listed.
inline records::Result ResultOfExit(int code) {
    using records::Result;
    switch (code) {
    case kOk:
        return Result::Ok;
    case kRefused:
        return Result::Refused;
    case kBootLoaderError:
        return Result::BootLoaderError;
    case kTimeout:
        return Result::Timeout;
    case kCannotOpen:
        return Result::CannotOpen;
    case kNoUnit:
        return Result::NoUnit;
    case kUnitLost:
        return Result::UnitLost;
    case kClaimed:
        return Result::Claimed;
    default:
        return Result::Failed;
    }
}

} // namespace trm::runner
