// The phases of one update.
#include "runner/Phases.h"

#include "cli/RunnerEvents.h"

#include <cmath>

namespace trm::runner {

Q_LOGGING_CATEGORY(lcRunner, "trm415.runner", QtWarningMsg)

void Phases::begin(const char* key, const QString& label, const QString& text, QJsonObject fields) {
    end();
    current_ = key;
    last_ = QString::fromLatin1(key);
    label_ = label;
    start_ = out_.now();
    fields.insert(events::key::kPhase, QString::fromLatin1(key));
    fields.insert(events::key::kState, events::kPhaseStart);
    qCDebug(lcRunner, "phase %s begins", key);
    out_.event(events::kPhase, label, text, fields);
}

void Phases::end(const QString& text, QJsonObject fields, Tone tone) {
    if (current_.empty()) {
        return;
    }
    out_.endProgress();
    const double d = out_.now() - start_;
    durations_[current_] = d;
    qCDebug(lcRunner, "phase %s ends after %.3f s", current_.c_str(), d);
    fields.insert(events::key::kPhase, QString::fromStdString(current_));
    fields.insert(events::key::kState, events::kPhaseEnd);
    fields.insert("duration_s", std::round(d * 1000) / 1000);
    out_.event(events::kPhase, label_,
               (text.isEmpty() ? QString("done") : text) + QString(" (%1 s)").arg(d, 0, 'f', 1),
               fields, tone);
    current_.clear();
}

QJsonObject Phases::durations() const {
    QJsonObject o;
    for (const auto& [k, v] : durations_) {
        o.insert(QString::fromStdString(k), std::round(v * 1000) / 1000);
    }
    return o;
}

} // namespace trm::runner
