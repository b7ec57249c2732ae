// The station's Prometheus figures.
#include "station/Metrics.h"

#include "station/Station.h"

namespace trm::station {
namespace {

QString number(double v) {
    return QString::number(v, 'g', 12);
}

} // namespace

QString PromLabel(const QString& value) {
    QString out;
    out.reserve(value.size());
    for (const QChar c : value) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

void Metrics::addUpdate(records::Result result, double seconds) {
    ++results_[result];
    for (std::size_t i = 0; i < kBuckets.size(); ++i) {
        if (seconds <= kBuckets[i]) {
            ++buckets_[i];
            break;
        }
    }
    ++count_;
    sum_ += seconds;
}

QByteArray Metrics::text(const std::map<QString, int>& slotsByState, int held) const {
    QString t;
    t += "# HELP trm415_updates_total Updates ended since the station started, by result.\n"
         "# TYPE trm415_updates_total counter\n";
    // By name, as the exposition has always listed them; ok and refused even at 0.
    std::map<QString, long long> results;
    for (const records::Result always : {records::Result::Ok, records::Result::Refused}) {
        results.emplace(records::ResultText(always), 0);
    }
    for (const auto& [result, n] : results_) {
        results[records::ResultText(result)] = n;
    }
    for (const auto& [result, n] : results) {
        t += QString("trm415_updates_total{result=\"%1\"} %2\n").arg(PromLabel(result)).arg(n);
    }
    t += "# HELP trm415_update_duration_seconds How long each ended update took, plug-in "
         "to verdict.\n"
         "# TYPE trm415_update_duration_seconds histogram\n";
    long long cumulative = 0;
    for (std::size_t i = 0; i < kBuckets.size(); ++i) {
        cumulative += buckets_[i];
        t += QString("trm415_update_duration_seconds_bucket{le=\"%1\"} %2\n")
                 .arg(number(kBuckets[i]))
                 .arg(cumulative);
    }
    t += QString("trm415_update_duration_seconds_bucket{le=\"+Inf\"} %1\n").arg(count_);
    t += QString("trm415_update_duration_seconds_sum %1\n").arg(number(sum_));
    t += QString("trm415_update_duration_seconds_count %1\n").arg(count_);
    t += "# HELP trm415_slots The station's slots, by state.\n"
         "# TYPE trm415_slots gauge\n";
    for (const SlotState s : kSlotStates) {
        const auto it = slotsByState.find(StateName(s));
        t += QString("trm415_slots{state=\"%1\"} %2\n")
                 .arg(StateName(s))
                 .arg(it == slotsByState.end() ? 0 : it->second);
    }
    if (held >= 0) {
        t += "# HELP trm415_records_held Rows waiting in the local spool for the records "
             "server.\n"
             "# TYPE trm415_records_held gauge\n";
        t += QString("trm415_records_held %1\n").arg(held);
    }
    return t.toUtf8();
}

} // namespace trm::station
