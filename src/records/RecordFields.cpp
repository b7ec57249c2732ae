// The table of an update record's fields, and every form made from it.
#include "records/RecordFields.h"

#include <QJsonValue>
#include <QSqlRecord>

#include <array>
#include <cmath>
#include <cstring>

namespace trm::records {
namespace {

// Accessors of the table: a member of each type, and a phase's duration.
template <QString UpdateRecord::*M> QVariant getText(const UpdateRecord& r) {
    return (r.*M).isEmpty() ? QVariant() : QVariant(r.*M);
}
template <QString UpdateRecord::*M> void setText(UpdateRecord& r, const QVariant& v) {
    r.*M = v.isNull() ? QString() : v.toString();
}
template <QDateTime UpdateRecord::*M> QVariant getTime(const UpdateRecord& r) {
    return (r.*M).isValid() ? QVariant(r.*M) : QVariant();
}
template <QDateTime UpdateRecord::*M> void setTime(UpdateRecord& r, const QVariant& v) {
    r.*M = v.isNull() ? QDateTime() : v.toDateTime();
}
template <int UpdateRecord::*M> QVariant getInteger(const UpdateRecord& r) {
    return r.*M < 0 ? QVariant() : QVariant(r.*M);
}
template <int UpdateRecord::*M> void setInteger(UpdateRecord& r, const QVariant& v) {
    bool ok = false;
    const int n = v.isNull() ? -1 : v.toInt(&ok);
    r.*M = ok ? n : -1;
}
QVariant getResult(const UpdateRecord& r) {
    return ResultText(r.result);
}
void setResult(UpdateRecord& r, const QVariant& v) {
    r.result = v.isNull() ? Result::Unfinished : ResultOrFailed(v.toString());
}
template <int P> QVariant getPhase(const UpdateRecord& r) {
    const QJsonValue d = r.durations.value(QLatin1String(kRecordedPhases[P]));
    return d.isDouble() ? QVariant(d.toDouble()) : QVariant();
}
template <int P> void setPhase(UpdateRecord& r, const QVariant& v) {
    const QString phase = QLatin1String(kRecordedPhases[P]);
    bool ok = false;
    const double seconds = v.isNull() ? 0 : v.toDouble(&ok);
    if (ok && std::isfinite(seconds)) {
        r.durations.insert(phase, seconds);
    } else {
        r.durations.remove(phase);
    }
}

using R = UpdateRecord;
using T = FieldType;

// Names: SQL column, CSV header, JSON key. A phase's JSON key is its name in
// "durations".
const std::array kFields{
    RecordField{"id", "id", "id", T::Text, true, getText<&R::id>, setText<&R::id>},
    RecordField{"started_utc", "start_utc", "start", T::Time, true, getTime<&R::start>,
                setTime<&R::start>},
    RecordField{"ended_utc", "end_utc", "end", T::Time, false, getTime<&R::end>, setTime<&R::end>},
    RecordField{"host", "host", "host", T::Text, true, getText<&R::host>, setText<&R::host>},
    RecordField{"station", "station", "station", T::Text, false, getText<&R::station>,
                setText<&R::station>},
    RecordField{"slot", "slot", "slot", T::Text, false, getText<&R::slot>, setText<&R::slot>},
    RecordField{"port", "port", "port", T::Text, false, getText<&R::port>, setText<&R::port>},
    RecordField{"serial", "serial", "serial", T::Text, false, getText<&R::serial>,
                setText<&R::serial>},
    RecordField{"identity", "identity", "identity", T::Text, false, getText<&R::identity>,
                setText<&R::identity>},
    RecordField{"unit_type", "unit_type", "unit_type", T::Integer, false, getInteger<&R::unitType>,
                setInteger<&R::unitType>},
    RecordField{"image_pair", "image_pair", "image_pair", T::Integer, false,
                getInteger<&R::imagePair>, setInteger<&R::imagePair>},
    RecordField{"mcu_sha256", "mcu_sha256", "mcu_sha256", T::Text, false, getText<&R::mcuSha256>,
                setText<&R::mcuSha256>},
    RecordField{"dsp_sha256", "dsp_sha256", "dsp_sha256", T::Text, false, getText<&R::dspSha256>,
                setText<&R::dspSha256>},
    RecordField{"result", "result", "result", T::Text, true, getResult, setResult},
    RecordField{"message", "message", "message", T::Text, false, getText<&R::message>,
                setText<&R::message>},
    RecordField{"exit_status", "exit_status", "exit_status", T::Integer, false,
                getInteger<&R::exitStatus>, setInteger<&R::exitStatus>},
    RecordField{"identity_query_s", "identity_query_s", kRecordedPhases[0], T::Seconds, false,
                getPhase<0>, setPhase<0>},
    RecordField{"restart_to_boot_loader_s", "restart_to_boot_loader_s", kRecordedPhases[1],
                T::Seconds, false, getPhase<1>, setPhase<1>},
    RecordField{"boot_loader_s", "boot_loader_s", kRecordedPhases[2], T::Seconds, false,
                getPhase<2>, setPhase<2>},
    RecordField{"restart_to_application_s", "restart_to_application_s", kRecordedPhases[3],
                T::Seconds, false, getPhase<3>, setPhase<3>},
    RecordField{"dsp_download_s", "dsp_download_s", kRecordedPhases[4], T::Seconds, false,
                getPhase<4>, setPhase<4>},
};
static_assert(std::size(kRecordedPhases) == 5, "a phase's column is missing from kFields");

// A field as CSV: one a spreadsheet would run as a formula (it begins with =, +, -, @,
// a tab or a carriage return) is prefixed with a single quote; one holding a comma, a
// quote, a line feed or a carriage return is quoted, so that no row splits.
QString csvQuoted(const QString& text) {
    QString s = text;
    static const QString formula = QStringLiteral("=+-@\t\r");
    if (!s.isEmpty() && formula.contains(s.front())) {
        s.prepend('\'');
    }
    if (!s.contains(',') && !s.contains('"') && !s.contains('\n') && !s.contains('\r')) {
        return s;
    }
    return "\"" + s.replace("\"", "\"\"") + "\"";
}

double tenths(double seconds) {
    return std::round(seconds * 10) / 10;
}

} // namespace

std::span<const RecordField> RecordFields() {
    return kFields;
}

const RecordField* FindRecordField(const char* column) {
    for (const RecordField& f : kFields) {
        if (std::strcmp(f.column, column) == 0) {
            return &f;
        }
    }
    return nullptr;
}

QString UtcText(const QDateTime& t) {
    return t.isValid() ? t.toUTC().toString(Qt::ISODateWithMs) : QString();
}

QDateTime FromUtcText(const QString& text) {
    return QDateTime::fromString(text, Qt::ISODateWithMs);
}

QString UpdatesColumnsSql(bool postgres) {
    QStringList columns;
    for (const RecordField& f : kFields) {
        const char* type = f.type == T::Integer   ? "INTEGER"
                           : f.type == T::Seconds ? (postgres ? "DOUBLE PRECISION" : "REAL")
                                                  : "TEXT";
        QString c = QString("%1 %2").arg(f.column, type);
        if (&f == &kFields.front()) {
            c += " PRIMARY KEY";
        }
        if (f.required) {
            c += " NOT NULL";
        }
        columns << c;
    }
    return columns.join(", ");
}

QString UpsertSql() {
    QStringList columns, marks, sets;
    for (const RecordField& f : kFields) {
        columns << f.column;
        marks << QString(":") + f.column;
        if (&f != &kFields.front()) {
            sets << QString("%1 = excluded.%1").arg(f.column);
        }
    }
    return QString("INSERT INTO updates (%1) VALUES (%2) ON CONFLICT (id) DO UPDATE SET %3")
        .arg(columns.join(", "), marks.join(", "), sets.join(", "));
}

void BindRecord(QSqlQuery& q, const UpdateRecord& r) {
    for (const RecordField& f : kFields) {
        QVariant v = f.get(r);
        if (f.type == T::Time && !v.isNull()) {
            v = UtcText(v.toDateTime());
        } else if (f.required && v.isNull()) {
            v = QString(""); // NOT NULL: an empty text is kept as empty
        }
        q.bindValue(QString(":") + f.column, v);
    }
}

RowReader::RowReader(const QSqlRecord& columns) {
    for (const RecordField& f : kFields) {
        at_.push_back(columns.indexOf(QLatin1String(f.column)));
    }
}

UpdateRecord RowReader::read(const QSqlQuery& q) const {
    UpdateRecord r;
    for (std::size_t i = 0; i < kFields.size(); ++i) {
        const RecordField& f = kFields[i];
        const QVariant v = at_[i] < 0 ? QVariant() : q.value(at_[i]);
        if (f.type == T::Time && !v.isNull()) {
            f.set(r, FromUtcText(v.toString()));
        } else {
            f.set(r, v);
        }
    }
    return r;
}

QString FieldText(const RecordField& f, const UpdateRecord& r) {
    const QVariant v = f.get(r);
    if (v.isNull()) {
        return {};
    }
    switch (f.type) {
    case T::Time:
        return UtcText(v.toDateTime());
    case T::Seconds:
        return QString::number(v.toDouble(), 'f', 3);
    case T::Integer:
        return QString::number(v.toInt());
    case T::Text:
        break;
    }
    return v.toString();
}

QByteArray CsvHeader() {
    QStringList names;
    for (const RecordField& f : kFields) {
        names << f.csv;
    }
    return names.join(',').toUtf8();
}

QByteArray CsvRow(const UpdateRecord& r) {
    QStringList cells;
    for (const RecordField& f : kFields) {
        cells << csvQuoted(FieldText(f, r));
    }
    return cells.join(',').toUtf8();
}

QJsonObject RecordJson(const UpdateRecord& r) {
    QJsonObject o;
    QJsonObject durations;
    for (const RecordField& f : kFields) {
        const QVariant v = f.get(r);
        switch (f.type) {
        case T::Text:
            o.insert(f.json, v.toString()); // present, empty when there is none
            break;
        case T::Time:
            if (!v.isNull()) {
                o.insert(f.json, UtcText(v.toDateTime()));
            }
            break;
        case T::Integer:
            if (!v.isNull()) {
                o.insert(f.json, v.toInt());
            }
            break;
        case T::Seconds:
            if (!v.isNull()) {
                durations.insert(f.json, v.toDouble());
            }
            break;
        }
    }
    o.insert("durations", durations);
    o.insert("tone", ResultTone(r.result));
    if (r.start.isValid() && r.end.isValid()) {
        o.insert("duration_s", tenths(static_cast<double>(r.start.msecsTo(r.end)) / 1000.0));
    }
    return o;
}

std::optional<UpdateRecord> RecordFromJson(const QJsonObject& o) {
    UpdateRecord r;
    const QJsonObject durations = o.value("durations").toObject();
    for (const RecordField& f : kFields) {
        const QJsonValue v = f.type == T::Seconds ? durations.value(f.json) : o.value(f.json);
        switch (f.type) {
        case T::Text:
            f.set(r, v.isString() ? QVariant(v.toString()) : QVariant());
            break;
        case T::Time:
            f.set(r, v.isString() ? QVariant(FromUtcText(v.toString())) : QVariant());
            break;
        case T::Integer:
            f.set(r, v.isDouble() ? QVariant(v.toInt(-1)) : QVariant());
            break;
        case T::Seconds:
            f.set(r, v.isDouble() ? QVariant(v.toDouble()) : QVariant());
            break;
        }
    }
    if (r.id.isEmpty()) {
        return std::nullopt;
    }
    return r;
}

} // namespace trm::records
