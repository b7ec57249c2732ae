// trm415-station --report: the records as a table with totals, or as CSV.
#pragma once

#include "records/RecordStore.h"

#include <QDateTime>
#include <QString>

namespace trm::station {

// The rows --report shows: every filter that is set must hold.
struct ReportFilter {
    QString serial, slot, result, station;
    QDateTime since; // UTC; invalid: no limit
    bool matches(const records::UpdateRecord& r) const;
};

// Prints every row of `store` (as CSV when `csv`). Returns the exit status: 0, or 2 when
// the records cannot be read.
int PrintReport(records::RecordStore& store, bool csv, const ReportFilter& filter = {});

} // namespace trm::station
