// One run's row in the records.
#include "runner/RunRecord.h"

#include "cli/RunnerEvents.h"
#include "records/Spool.h"

#include <cstdio>

namespace trm::runner {

bool RunRecord::open(const std::string& where, QString& error) {
    if (where.empty()) {
        return true;
    }
    const auto location = records::ParseLocation(QString::fromStdString(where), error);
    QString warning;
    if (!location || !store_.open(*location, records::DefaultStateDir(), nullptr, error, warning)) {
        return false;
    }
    if (!warning.isEmpty()) {
        std::fprintf(stderr, "trm415-run: %s\n", warning.toLocal8Bit().constData());
    }
    open_ = true;
    return true;
}

void RunRecord::begin() {
    if (!open_ || !row_.id.isEmpty()) {
        return;
    }
    QString why;
    if (!store_.write(row_, why)) {
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
    if (!store_.write(row_, why)) {
        std::fprintf(stderr, "trm415-run: cannot write the records database: %s\n",
                     why.toLocal8Bit().constData());
    }
    if (store_.isServer() && !store_.drain(10000)) {
        std::fprintf(stderr, "trm415-run: the records server does not answer: the row waits in the "
                             "spool and is sent by the next run\n");
    }
}

} // namespace trm::runner
