// The results' names, in one table.
#include "records/Result.h"

#include <iterator>

namespace trm::records {
namespace {

struct Named {
    Result result;
    const char* name;
};

constexpr Named kNames[] = {
    {Result::Unfinished, "unfinished"},
    {Result::Ok, "ok"},
    {Result::Refused, "refused"},
    {Result::BootLoaderError, "boot-loader error"},
    {Result::Timeout, "time-out"},
    {Result::CannotOpen, "cannot open"},
    {Result::Claimed, "claimed by another program"},
    {Result::NoUnit, "no unit"},
    {Result::UnitLost, "unit lost"},
    {Result::Interrupted, "interrupted"},
    {Result::InterruptedStationStopped, "interrupted (station stopped)"},
    {Result::Failed, "failed"},
};

} // namespace

const char* ResultName(Result r) {
    for (const Named& n : kNames) {
        if (n.result == r) {
            return n.name;
        }
    }
    return "failed";
}

QString ResultText(Result r) {
    return QString::fromLatin1(ResultName(r));
}

std::optional<Result> ResultFromName(const QString& name) {
    for (const Named& n : kNames) {
        if (name == QLatin1String(n.name)) {
            return n.result;
        }
    }
    return std::nullopt;
}

Result ResultOrFailed(const QString& name) {
    return ResultFromName(name).value_or(Result::Failed);
}

const char* ResultTone(Result r) {
    return r == Result::Ok ? "good" : r == Result::Unfinished ? "" : "bad";
}

bool IsFailure(Result r) {
    return r != Result::Ok && r != Result::Refused && r != Result::Unfinished &&
           r != Result::Claimed;
}

} // namespace trm::records
