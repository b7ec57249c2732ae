// Questions to the records, answered by the database: which rows (filters and a keyset
// cursor, newest first), how many (counted up to a bound), and the line's totals over a
// window. Each is one statement with bound parameters on an index the schema declares,
// its rows streamed out one at a time: nothing grows with the history.
#pragma once

#include "records/Result.h"
#include "records/UpdateRecord.h"

#include <QDateTime>
#include <QString>

#include <QVariant>

#include <optional>
#include <vector>

namespace trm::records {

// The rows a question asks for: every filter that is set must hold.
struct RecordFilter {
    QString serial, slot, station;
    QString result;        // a result's stored name, or kFailuresGroup for every failure
    QDateTime since;       // begun at or after (UTC); invalid: no bound
    QDateTime until;       // begun before (UTC); invalid: no bound
    QDateTime beforeStart; // the cursor: rows older than (beforeStart, beforeId), newest
    QString beforeId;      // first; invalid: from the newest

    bool matches(const UpdateRecord& r) const; // the same test, on a row in hand
};

// A question's statement and the values it binds, in order ('?' placeholders): what the
// store runs, and what a plan is asked of.
struct Question {
    QString sql;
    std::vector<QVariant> values;
};
// The rows `f` lets through, newest first, at most `limit` (0: every one).
Question SelectQuestion(const RecordFilter& f, int limit);
// How many rows `f` lets through, reading at most `bound` + 1.
Question CountQuestion(const RecordFilter& f, int bound);
// One station's updates by result since a time; and its slots with an update under way.
Question StationCountsQuestion(const QString& station, const QDateTime& since);
Question BusySlotsQuestion(const QString& station, const QDateTime& since);

// A time as --since, --until and the page take it: a date (2026-12-09) or a date and
// time (2026-12-09T14:00), UTC. Invalid when it is neither.
QDateTime ParseUtcTime(const QString& text);

// The cursor of the page after `r`: "<started_utc>,<id>", and back. False for a text
// that is not one.
QString CursorAfter(const UpdateRecord& r);
bool ParseCursor(const QString& text, RecordFilter& f);

// How many rows the count of a question reads at most: past it, the answer is "more
// than kCountBound".
inline constexpr int kCountBound = 10000;

// A query's time limit, by default: a question the database has not answered by then
// is ended, with kQueryTooLong as its error.
inline constexpr int kQueryTimeLimitMs = 10000;
inline constexpr const char* kQueryTooLong = "the records took too long to answer";
// The limit of a question for every matching row (a report, a download): the rows of a
// long history at the reader's pace.
inline constexpr int kExportTimeLimitMs = 600000;

// The window the line's totals are counted over.
inline constexpr int kLineWindowHours = 24;

} // namespace trm::records
