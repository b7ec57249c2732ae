// One run's row in the records.
#include "runner/RunRecord.h"

#include "cli/RunnerEvents.h"

#include <cstdio>

namespace trm::runner {

bool RunRecord::open(const std::string& path, QString& error) {
    return path.empty() || store_.open(QString::fromStdString(path), error);
}

void RunRecord::begin() {
    if (!store_.isOpen() || !row_.id.isEmpty()) {
        return;
    }
    QString why;
    if (!store_.begin(row_, why)) {
        std::fprintf(stderr, "trm415-run: cannot write the records database: %s\n",
                     why.toLocal8Bit().constData());
    }
}

void RunRecord::finish(const QJsonObject& summary) {
    if (row_.id.isEmpty()) {
        return;
    }
    row_.end = QDateTime::currentDateTimeUtc();
    events::ApplySummary(row_, summary);
    QString why;
    if (!store_.finish(row_, why)) {
        std::fprintf(stderr, "trm415-run: cannot write the records database: %s\n",
                     why.toLocal8Bit().constData());
    }
}

} // namespace trm::runner
