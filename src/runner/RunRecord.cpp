// One run's row in the records.
#include "runner/RunRecord.h"

#include "cli/RunnerEvents.h"
#include "records/Spool.h"

#include <cstdio>

namespace trm::runner {
namespace {

// How long the end of a run waits for the server to take its row.
constexpr int kServerWaitMs = 10000;

} // namespace

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
    // A row leaves the spool only once the server has said it committed it: held at
    // the limit, it is in the spool (and, if the server commits it after all, the next
    // run's sending of it changes nothing).
    if (store_.isServer() && !store_.drain(kServerWaitMs)) {
        std::fprintf(stderr,
                     "trm415-run: the records server did not take the row within %d s: it is "
                     "kept in the spool %s and sent by the next run or station that writes "
                     "to this server\n",
                     kServerWaitMs / 1000, store_.spoolPath().toLocal8Bit().constData());
    }
}

} // namespace trm::runner
