// The records as a report.
#include "station/RecordsReport.h"

#include "cli/Terminal.h"
#include "records/RecordFields.h"

#include <QJsonDocument>

#include <cstring>
#include <iterator>
#include <vector>

namespace trm::station {
namespace {

// The text report's columns: a record field each (by its column), but for the whole
// update's duration; the last is not padded.
struct ReportColumn {
    const char* title;
    int width; // as QString::arg's: negative, left-aligned
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

QByteArray textRow(const std::vector<QString>& cells) {
    QString line;
    for (std::size_t i = 0; i < std::size(kColumns); ++i) {
        const ReportColumn& c = kColumns[i];
        line += (i == 0                         ? ""
                 : i + 1 == std::size(kColumns) ? "  "
                                                : " ") +
                (c.width == 0 ? cells[i] : QString("%1").arg(cells[i], c.width));
    }
    return line.toLocal8Bit() + '\n';
}

QByteArray textLine(const records::UpdateRecord& r) {
    std::vector<QString> cells;
    for (const ReportColumn& c : kColumns) {
        if (c.field == nullptr) {
            cells.push_back(r.end.isValid()
                                ? QString("%1 s").arg(r.start.msecsTo(r.end) / 1000.0, 0, 'f', 1)
                                : QString());
            continue;
        }
        // What a unit reported is shown, never obeyed, by the terminal.
        const QString text =
            cli::Visible(records::FieldText(*records::FindRecordField(c.field), r));
        // Padded text columns show "-" for none; numbers and the last stay empty.
        const bool dash = c.width < 0 && std::strcmp(c.field, "started_utc") != 0;
        cells.push_back(text.isEmpty() && dash ? QString("-") : text);
    }
    QByteArray out = textRow(cells);
    if ((records::IsFailure(r.result) || r.result == records::Result::Refused) &&
        !r.message.isEmpty()) {
        out +=
            QString("%1   %2\n").arg("", 24).arg(cli::Visible(r.message.trimmed())).toLocal8Bit();
    }
    return out;
}

// One row as `format` writes it.
QByteArray formatRow(ReportFormat format, const records::UpdateRecord& r) {
    switch (format) {
    case ReportFormat::Csv:
        return records::CsvRow(r) + '\n';
    case ReportFormat::JsonLines:
        return QJsonDocument(records::RecordJson(r)).toJson(QJsonDocument::Compact) + '\n';
    case ReportFormat::Text:
        break;
    }
    return textLine(r);
}

} // namespace

bool StreamRecords(records::RecordStore& store, const records::RecordFilter& filter,
                   ReportFormat format, const std::function<bool(const QByteArray&)>& write,
                   QString& error) {
    if (format == ReportFormat::Csv && !write(records::CsvHeader() + '\n')) {
        return true;
    }
    return store.select(
        filter, 0, [&](const records::UpdateRecord& r) { return write(formatRow(format, r)); },
        error);
}

int PrintReport(records::RecordStore& store, ReportFormat format,
                const records::RecordFilter& filter, std::FILE* out) {
    auto put = [out](const QByteArray& bytes) {
        return std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), out) ==
               static_cast<std::size_t>(bytes.size());
    };
    if (format == ReportFormat::Text) {
        std::vector<QString> titles;
        for (const ReportColumn& c : kColumns) {
            titles.emplace_back(c.title);
        }
        put(textRow(titles));
    } else if (format == ReportFormat::Csv) {
        put(records::CsvHeader() + '\n');
    }
    // The text report's totals, counted as the rows go by.
    using records::Result;
    int ok = 0, refused = 0, failed = 0, unfinished = 0;
    QString error;
    const bool read = store.select(
        filter, 0,
        [&](const records::UpdateRecord& r) {
            if (format != ReportFormat::Text) {
                return put(formatRow(format, r));
            }
            (r.result == Result::Ok           ? ok
             : r.result == Result::Refused    ? refused
             : r.result == Result::Unfinished ? unfinished
                                              : failed) += 1;
            return put(formatRow(format, r));
        },
        error);
    if (!read) {
        std::fflush(out);
        std::fprintf(stderr, "trm415-station: cannot read the records: %s\n",
                     error.toLocal8Bit().constData());
        return 2;
    }
    if (format == ReportFormat::Text) {
        std::fprintf(out,
                     "%d updates: ok %d, refused %d, failed %d, unfinished %d (times in UTC)\n",
                     ok + refused + failed + unfinished, ok, refused, failed, unfinished);
    }
    std::fflush(out);
    return 0;
}

} // namespace trm::station
