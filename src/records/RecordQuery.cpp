// The records' questions in SQL, on either back end.
#include "records/RecordQuery.h"

#include "records/RecordFields.h"
#include "records/RecordStore.h"
#include "records/Sql.h"

#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

#include <chrono>
#include <utility>
#include <vector>

#include <sqlite3.h>

namespace trm::records {

namespace {

// A question's WHERE clause and the values it binds, in order.
struct Where {
    QStringList terms;
    std::vector<QVariant> values;
    void add(const QString& term, std::initializer_list<QVariant> v) {
        terms << term;
        values.insert(values.end(), v);
    }
    QString sql() const { return terms.isEmpty() ? QString() : " WHERE " + terms.join(" AND "); }
};

Where whereOf(const RecordFilter& f) {
    Where w;
    if (!f.serial.isEmpty()) {
        w.add("serial = ?", {f.serial});
    }
    if (!f.station.isEmpty()) {
        w.add("station = ?", {f.station});
    }
    if (!f.slot.isEmpty()) {
        w.add("slot = ?", {f.slot});
    }
    if (f.result == kFailuresGroup) {
        // Every failure by name, so that the result's index serves the group too.
        QStringList marks;
        for (const Result r : kAllResults) {
            if (IsFailure(r)) {
                marks << "?";
                w.values.emplace_back(ResultText(r));
            }
        }
        w.terms << "result IN (" + marks.join(", ") + ")";
    } else if (!f.result.isEmpty()) {
        w.add("result = ?", {f.result});
    }
    if (f.since.isValid()) {
        w.add("started_utc >= ?", {UtcText(f.since)});
    }
    if (f.until.isValid()) {
        w.add("started_utc < ?", {UtcText(f.until)});
    }
    if (f.beforeStart.isValid()) {
        w.add("(started_utc, id) < (?, ?)", {UtcText(f.beforeStart), f.beforeId});
    }
    return w;
}

void bind(QSqlQuery& q, const Question& question) {
    for (const QVariant& v : question.values) {
        q.addBindValue(v);
    }
}

} // namespace

QDateTime ParseUtcTime(const QString& text) {
    QDateTime t = QDateTime::fromString(text, Qt::ISODate);
    if (!t.isValid()) {
        t = QDateTime(QDate::fromString(text, Qt::ISODate), QTime(0, 0));
    }
    if (t.isValid()) {
        t.setTimeSpec(Qt::UTC);
    }
    return t;
}

QString CursorAfter(const UpdateRecord& r) {
    return UtcText(r.start) + "," + r.id;
}

bool ParseCursor(const QString& text, RecordFilter& f) {
    const qsizetype comma = text.indexOf(',');
    const QDateTime start = comma > 0 ? FromUtcText(text.left(comma)) : QDateTime();
    const QString id = comma > 0 ? text.mid(comma + 1) : QString();
    if (!start.isValid() || id.isEmpty()) {
        return false;
    }
    f.beforeStart = start;
    f.beforeId = id;
    return true;
}

Question SelectQuestion(const RecordFilter& f, int limit) {
    const Where w = whereOf(f);
    return {"SELECT * FROM updates" + w.sql() + " ORDER BY started_utc DESC, id DESC" +
                (limit > 0 ? QString(" LIMIT %1").arg(limit) : QString()),
            w.values};
}

Question CountQuestion(const RecordFilter& f, int bound) {
    const Where w = whereOf(f);
    // The inner LIMIT stops the count after bound + 1 rows, read in the order of the
    // rows' own questions: along an index, never through the table.
    return {"SELECT COUNT(*) FROM (SELECT 1 FROM updates" + w.sql() +
                QString(" ORDER BY started_utc DESC, id DESC LIMIT %1) AS matching").arg(bound + 1),
            w.values};
}

Question StationCountsQuestion(const QString& station, const QDateTime& since) {
    // On the station's index, which holds the result too: no row is read.
    return {"SELECT result, COUNT(*) FROM updates WHERE station = ? AND started_utc >= ?"
            " GROUP BY result",
            {station, UtcText(since)}};
}

Question BusySlotsQuestion(const QString& station, const QDateTime& since) {
    return {"SELECT DISTINCT slot FROM updates WHERE result = ? AND started_utc >= ?"
            " AND station = ? AND slot IS NOT NULL",
            {ResultText(Result::Unfinished), UtcText(since), station}};
}

bool RecordFilter::matches(const UpdateRecord& r) const {
    if ((!serial.isEmpty() && r.serial != serial) || (!slot.isEmpty() && r.slot != slot) ||
        (!station.isEmpty() && r.station != station)) {
        return false;
    }
    if ((since.isValid() && r.start < since) || (until.isValid() && r.start >= until)) {
        return false;
    }
    if (beforeStart.isValid()) {
        const QString start = UtcText(r.start), cursor = UtcText(beforeStart);
        if (start > cursor || (start == cursor && r.id >= beforeId)) {
            return false;
        }
    }
    if (result.isEmpty()) {
        return true;
    }
    if (result == kFailuresGroup) {
        return IsFailure(r.result);
    }
    return ResultFromName(result) == r.result;
}

namespace {

// What a failed question says: the time limit, or the driver's reason.
QString reasonOf(const QSqlQuery& q, bool timedOut) {
    const QSqlError e = q.lastError();
    if (timedOut || e.nativeErrorCode() == "57014" /* query_canceled */) {
        return kQueryTooLong;
    }
    return e.text().trimmed();
}

} // namespace

// The SQLite connection's deadline, checked by its progress handler every thousand
// virtual machine steps: past it the statement is interrupted.
struct RecordStore::Deadline {
    std::chrono::steady_clock::time_point at = std::chrono::steady_clock::time_point::max();
    bool passed = false;
    static int check(void* self) {
        auto* d = static_cast<Deadline*>(self);
        d->passed = std::chrono::steady_clock::now() >= d->at;
        return d->passed ? 1 : 0;
    }
};

void RecordStore::setTimeLimit(int ms) {
    timeLimitMs_ = ms;
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    if (!db.isOpen()) {
        return;
    }
    if (server_) {
        QSqlQuery(db).exec(QString("SET statement_timeout = %1").arg(ms));
        return;
    }
    const QVariant handle = db.driver()->handle();
    if (qstrcmp(handle.typeName(), "sqlite3*") != 0) {
        return;
    }
    sqlite3* lite = *static_cast<sqlite3* const*>(handle.data());
    if (!deadline_) {
        deadline_ = std::make_shared<Deadline>();
    }
    sqlite3_progress_handler(lite, ms > 0 ? 1000 : 0, ms > 0 ? &Deadline::check : nullptr,
                             deadline_.get());
}

bool RecordStore::beginQuestion(QString& error) {
    if (!QSqlDatabase::database(connection_, false).isOpen()) {
        error = "the records database is not open";
        return false;
    }
    if (deadline_) {
        deadline_->passed = false;
        deadline_->at = timeLimitMs_ > 0 ? std::chrono::steady_clock::now() +
                                               std::chrono::milliseconds(timeLimitMs_)
                                         : std::chrono::steady_clock::time_point::max();
    }
    return true;
}

void RecordStore::endQuestion() {
    if (deadline_) {
        deadline_->at = std::chrono::steady_clock::time_point::max();
    }
}

bool RecordStore::select(const RecordFilter& f, int limit,
                         const std::function<bool(const UpdateRecord&)>& row, QString& error) {
    // Every matching row goes at its reader's pace: a longer limit, for this question.
    const int questionLimit = timeLimitMs_;
    if (limit == 0 && questionLimit > 0 && questionLimit < kExportTimeLimitMs) {
        setTimeLimit(kExportTimeLimitMs);
    }
    struct Restore {
        RecordStore& store;
        int ms;
        ~Restore() {
            if (store.timeLimitMs_ != ms) {
                store.setTimeLimit(ms);
            }
        }
    } restore{*this, questionLimit};
    if (!beginQuestion(error)) {
        return false;
    }
    const Question question = SelectQuestion(f, limit);
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    // Forward only: the rows are taken from the database one at a time, never held.
    q.setForwardOnly(true);
    q.prepare(question.sql);
    bind(q, question);
    bool ok = q.exec();
    if (ok) {
        const RowReader reader(q.record());
        while (q.next()) {
            if (!row(reader.read(q))) {
                break;
            }
        }
        ok = !q.lastError().isValid();
    }
    const bool timedOut = deadline_ && deadline_->passed;
    if (!ok) {
        error = reasonOf(q, timedOut);
    }
    q.finish();
    endQuestion();
    return ok;
}

int RecordStore::count(const RecordFilter& f, int bound, QString& error) {
    if (!beginQuestion(error)) {
        return -1;
    }
    const Question question = CountQuestion(f, bound);
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.setForwardOnly(true);
    q.prepare(question.sql);
    bind(q, question);
    int n = -1;
    if (q.exec() && q.next()) {
        n = q.value(0).toInt();
    } else {
        error = reasonOf(q, deadline_ && deadline_->passed);
    }
    q.finish();
    endQuestion();
    return n;
}

std::optional<std::vector<StationCounts>> RecordStore::countsByStation(const QDateTime& since,
                                                                       QString& error) {
    const auto registered = stations(error);
    if (!registered || !beginQuestion(error)) {
        return std::nullopt;
    }
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    std::vector<StationCounts> out;
    bool ok = true;
    // Runs `question`, forward only; false with the reason.
    auto ask = [&](QSqlQuery& q, const Question& question) {
        q.setForwardOnly(true);
        q.prepare(question.sql);
        bind(q, question);
        if (!q.exec()) {
            error = reasonOf(q, deadline_ && deadline_->passed);
            return false;
        }
        return true;
    };
    for (const StationInfo& s : *registered) {
        StationCounts c;
        c.station = s.name;
        QSqlQuery q(db);
        if (!ask(q, StationCountsQuestion(s.name, since))) {
            ok = false;
            break;
        }
        while (q.next()) {
            const Result r = ResultOrFailed(q.value(0).toString());
            const int n = q.value(1).toInt();
            (r == Result::Ok           ? c.ok
             : r == Result::Refused    ? c.refused
             : r == Result::Unfinished ? c.unfinished
                                       : c.failed) += n;
        }
        QSqlQuery busy(db);
        if (!ask(busy, BusySlotsQuestion(s.name, since))) {
            ok = false;
            break;
        }
        while (busy.next()) {
            c.busySlots << busy.value(0).toString();
        }
        out.push_back(c);
    }
    endQuestion();
    if (!ok) {
        return std::nullopt;
    }
    return out;
}

} // namespace trm::records
