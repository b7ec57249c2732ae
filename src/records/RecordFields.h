// The fields of an update record, described once: each one's SQL column and type, its
// CSV and JSON names, and how it is read from and written into an UpdateRecord. The
// table's SQL, the upsert, the rows read back, the CSV, the JSON (the spool's and the
// page's alike) and the text report are all made from this table, so a new field is
// added here and nowhere else.
#pragma once

#include "records/UpdateRecord.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <optional>
#include <span>
#include <vector>

namespace trm::records {

enum class FieldType {
    Text,    // TEXT; an empty text is stored as NULL
    Time,    // TEXT, ISO 8601 in UTC with milliseconds: it sorts as it reads
    Integer, // INTEGER; a negative value means none, stored as NULL
    Seconds, // REAL (DOUBLE PRECISION on PostgreSQL): a phase's duration
};

struct RecordField {
    const char* column; // the SQL column, and the CSV header but for the times
    const char* csv;    // the CSV header
    const char* json;   // the JSON key; a phase's duration goes under "durations"
    FieldType type;
    bool required; // NOT NULL
    // The field of a record: a null QVariant when it has none. Text is a QString, a
    // Time a QDateTime, an Integer an int, Seconds a double.
    QVariant (*get)(const UpdateRecord&);
    void (*set)(UpdateRecord&, const QVariant&);
};

// Every field, in the order of the CSV and the SQL table.
std::span<const RecordField> RecordFields();
// A field by its column name (null: none).
const RecordField* FindRecordField(const char* column);

// Times as the records keep them: "2026-12-09T14:00:00.000Z"; empty for an invalid one.
QString UtcText(const QDateTime& t);
QDateTime FromUtcText(const QString& text);

// The columns of the table updates, as CREATE TABLE lists them (id first).
QString UpdatesColumnsSql(bool postgres);
// INSERT ... ON CONFLICT (id) DO UPDATE, with a :column placeholder for each field.
QString UpsertSql();
// Binds every field of `r` to UpsertSql()'s placeholders.
void BindRecord(QSqlQuery& q, const UpdateRecord& r);
// Rows of a query that selects the columns by name (SELECT *), read into records. The
// columns are found once, in the query's record; a column missing is a field unset.
class RowReader {
public:
    explicit RowReader(const QSqlRecord& columns);
    UpdateRecord read(const QSqlQuery& q) const;

private:
    std::vector<int> at_; // per field, its column (-1: none)
};

// A field as text, as the CSV and the text report show it ("" for none).
QString FieldText(const RecordField& f, const UpdateRecord& r);
// The CSV header, and one row (fields quoted as CSV needs, and a field a spreadsheet
// would run as a formula prefixed with '), each without its newline.
QByteArray CsvHeader();
QByteArray CsvRow(const UpdateRecord& r);

// The record as JSON: every text field, the times and numbers it has, the durations
// as an object, and duration_s (whole update) once it has ended.
QJsonObject RecordJson(const UpdateRecord& r);
// Back from that form; nullopt without an id.
std::optional<UpdateRecord> RecordFromJson(const QJsonObject& o);

} // namespace trm::records
