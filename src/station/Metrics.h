// The station's figures in the Prometheus text format (/metrics), names beginning
// trm415_: updates by result, the update duration histogram, slots by state and the
// rows the records spool holds.
#pragma once

#include "records/Result.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <map>
#include <vector>

namespace trm::station {

class Metrics {
public:
    // The duration histogram's upper bounds, in seconds (a lone update takes ~35 s).
    static constexpr std::array<double, 9> kBuckets{10, 20, 30, 35, 40, 45, 60, 90, 120};

    // One update ended with `result` after `seconds`.
    void addUpdate(records::Result result, double seconds);

    // The exposition: counters and histogram from addUpdate, and the gauges given.
    // `held` < 0 leaves the spool gauge out (records without a spool).
    QByteArray text(const std::map<QString, int>& slotsByState, int held) const;

private:
    std::map<records::Result, long long> results_;
    std::array<long long, kBuckets.size()> buckets_{}; // not cumulative
    long long count_ = 0;
    double sum_ = 0;
};

// A label value as the text format writes it: backslash, quote and newline escaped.
QString PromLabel(const QString& value);

} // namespace trm::station
