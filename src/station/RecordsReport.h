// trm415-station --report: the records as a table with totals, or as CSV.
#pragma once

#include "records/RecordStore.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>
#include <vector>

namespace trm::station {

// The rows --report shows: every filter that is set must hold.
struct ReportFilter {
    QString serial, slot, result, station;
    QDateTime since; // UTC; invalid: no limit
    bool matches(const records::UpdateRecord& r) const;
};

// A `since` filter: a date (2026-12-09) or a date and time (2026-12-09T14:00), UTC.
// Invalid when it is neither.
QDateTime ParseSince(const QString& text);

// The rows of `store` that `filter` lets through, oldest first (nullopt: unreadable).
std::optional<std::vector<records::UpdateRecord>>
SelectRecords(records::RecordStore& store, const ReportFilter& filter, QString& error);

// `rows` as CSV (UTF-8), a header line first.
QByteArray RecordsCsv(const std::vector<records::UpdateRecord>& rows);

// Prints every row of `store` (as CSV when `csv`). Returns the exit status: 0, or 2 when
// the records cannot be read.
int PrintReport(records::RecordStore& store, bool csv, const ReportFilter& filter = {});

} // namespace trm::station
