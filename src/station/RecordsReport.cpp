// The records as a report.
#include "station/RecordsReport.h"

#include "records/RecordFields.h"

#include <QJsonValue>
#include <QStringList>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <vector>

namespace trm::station {

QDateTime ParseSince(const QString& text) {
    QDateTime t = QDateTime::fromString(text, Qt::ISODate);
    if (!t.isValid()) {
        t = QDateTime(QDate::fromString(text, Qt::ISODate), QTime(0, 0));
    }
    if (t.isValid()) {
        t.setTimeSpec(Qt::UTC);
    }
    return t;
}

bool ReportFilter::matches(const records::UpdateRecord& r) const {
    if (!serial.isEmpty() && r.serial != serial) {
        return false;
    }
    if (!slot.isEmpty() && r.slot != slot) {
        return false;
    }
    if (!station.isEmpty() && r.station != station) {
        return false;
    }
    if (since.isValid() && r.start < since) {
        return false;
    }
    if (result.isEmpty()) {
        return true;
    }
    if (result == records::kFailuresGroup) {
        return records::IsFailure(r.result);
    }
    return records::ResultFromName(result) == r.result;
}

std::optional<std::vector<records::UpdateRecord>>
SelectRecords(records::RecordStore& store, const ReportFilter& filter, QString& error) {
    auto all = store.all(error);
    if (!all) {
        return std::nullopt;
    }
    std::vector<records::UpdateRecord> selected;
    for (records::UpdateRecord& r : *all) {
        if (filter.matches(r)) {
            selected.push_back(std::move(r));
        }
    }
    return selected;
}

QByteArray RecordsCsv(const std::vector<records::UpdateRecord>& rows) {
    QByteArray out = records::CsvHeader() + '\n';
    for (const records::UpdateRecord& r : rows) {
        out += records::CsvRow(r) + '\n';
    }
    return out;
}

namespace {

// The text report's columns: a record field each (by its column), but for the whole
// update's duration; the last is not padded.
struct ReportColumn {
    const char* title;
    int width; // printf's: negative, left-aligned
    const char* field;
};
constexpr ReportColumn kColumns[] = {
    {"START (UTC)", -24, "started_utc"},
    {"STATION", -12, "station"},
    {"SLOT", -8, "slot"},
    {"PORT", -10, "port"},
    {"SERIAL", -12, "serial"},
    {"RESULT", -18, "result"},
    {"EXIT", 4, "exit_status"},
    {"DURATION", 8, nullptr},
    {"IDENTITY", 0, "identity"},
};

void printRow(const std::vector<QString>& cells) {
    QString line;
    for (std::size_t i = 0; i < std::size(kColumns); ++i) {
        const ReportColumn& c = kColumns[i];
        line += (i == 0                         ? ""
                 : i + 1 == std::size(kColumns) ? "  "
                                                : " ") +
                (c.width == 0 ? cells[i] : QString("%1").arg(cells[i], c.width));
    }
    std::printf("%s\n", line.toLocal8Bit().constData());
}

} // namespace

int PrintReport(records::RecordStore& store, bool csv, const ReportFilter& filter) {
    QString error;
    const auto rows = SelectRecords(store, filter, error);
    if (!rows) {
        std::fprintf(stderr, "trm415-station: cannot read the records: %s\n",
                     error.toLocal8Bit().constData());
        return 2;
    }
    if (csv) {
        const QByteArray text = RecordsCsv(*rows);
        std::fwrite(text.constData(), 1, static_cast<std::size_t>(text.size()), stdout);
        return 0;
    }
    using records::Result;
    std::vector<QString> titles;
    for (const ReportColumn& c : kColumns) {
        titles.emplace_back(c.title);
    }
    printRow(titles);
    int ok = 0, refused = 0, failed = 0, unfinished = 0;
    for (const records::UpdateRecord& r : *rows) {
        std::vector<QString> cells;
        for (const ReportColumn& c : kColumns) {
            if (c.field == nullptr) {
                cells.push_back(r.end.isValid() ? QString("%1 s").arg(
                                                      r.start.msecsTo(r.end) / 1000.0, 0, 'f', 1)
                                                : QString());
                continue;
            }
            const QString text = records::FieldText(*records::FindRecordField(c.field), r);
            // Padded text columns show "-" for none; numbers and the last stay empty.
            const bool dash = c.width < 0 && std::strcmp(c.field, "started_utc") != 0;
            cells.push_back(text.isEmpty() && dash ? QString("-") : text);
        }
        printRow(cells);
        if ((records::IsFailure(r.result) || r.result == Result::Refused) && !r.message.isEmpty()) {
            std::printf("%24s %s\n", "", ("  " + r.message.trimmed()).toLocal8Bit().constData());
        }
        (r.result == Result::Ok           ? ok
         : r.result == Result::Refused    ? refused
         : r.result == Result::Unfinished ? unfinished
                                          : failed) += 1;
    }
    std::printf("%zu updates: ok %d, refused %d, failed %d, unfinished %d (times in UTC)\n",
                rows->size(), ok, refused, failed, unfinished);
    return 0;
}

} // namespace trm::station
