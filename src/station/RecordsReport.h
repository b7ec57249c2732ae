// trm415-station --report: the records as a table with totals, as CSV or as JSON lines,
// newest first, each row written as it is read: any number of rows in constant memory.
#pragma once

#include "records/RecordQuery.h"
#include "records/RecordStore.h"

#include <QByteArray>

#include <cstdio>
#include <functional>

namespace trm::station {

enum class ReportFormat { Text, Csv, JsonLines };

// Writes the rows `filter` lets through as `format`, in pieces handed to `write` as the
// rows are read (the CSV's header first); `write` returns false to stop (its reader has
// gone). False, with the reason, when the records cannot be read.
bool StreamRecords(records::RecordStore& store, const records::RecordFilter& filter,
                   ReportFormat format, const std::function<bool(const QByteArray&)>& write,
                   QString& error);

// --report: prints the rows to `out`, a text report with totals or the rows as
// CSV or JSON lines. Returns the exit status: 0, or 2 when the records cannot be read.
int PrintReport(records::RecordStore& store, ReportFormat format,
                const records::RecordFilter& filter, std::FILE* out = stdout);

} // namespace trm::station
