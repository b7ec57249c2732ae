// The records as a report.
#include "station/RecordsReport.h"

#include <QJsonValue>
#include <QStringList>

#include <cstdio>
#include <vector>

namespace trm::station {
namespace {

QString csvField(const QString& s) {
    if (!s.contains(',') && !s.contains('"') && !s.contains('\n')) {
        return s;
    }
    return "\"" + QString(s).replace("\"", "\"\"") + "\"";
}

} // namespace

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
    if (result.isEmpty() || r.result == result) {
        return true;
    }
    // "failed": every result that is neither ok, refused nor still under way.
    return result == "failed" && r.result != "ok" && r.result != "refused" &&
           r.result != records::kUnfinished;
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
    auto num = [](int v) { return v < 0 ? QString() : QString::number(v); };
    QByteArray out;
    QStringList header{"id",         "start_utc", "end_utc",    "host",
                       "station",    "slot",      "port",       "serial",
                       "identity",   "unit_type", "image_pair", "mcu_sha256",
                       "dsp_sha256", "result",    "message",    "exit_status"};
    for (const char* p : records::kRecordedPhases) {
        header << QString::fromLatin1(p).replace('-', '_') + "_s";
    }
    out += header.join(',').toUtf8() + '\n';
    for (const records::UpdateRecord& r : rows) {
        QStringList f{r.id,
                      r.start.toString(Qt::ISODateWithMs),
                      r.end.isValid() ? r.end.toString(Qt::ISODateWithMs) : QString(),
                      r.host,
                      r.station,
                      r.slot,
                      r.port,
                      r.serial,
                      r.identity,
                      num(r.unitType),
                      num(r.imagePair),
                      r.mcuSha256,
                      r.dspSha256,
                      r.result,
                      r.message,
                      num(r.exitStatus)};
        for (const char* p : records::kRecordedPhases) {
            const QJsonValue d = r.durations.value(QString::fromLatin1(p));
            f << (d.isDouble() ? QString::number(d.toDouble(), 'f', 3) : QString());
        }
        for (QString& s : f) {
            s = csvField(s);
        }
        out += f.join(',').toUtf8() + '\n';
    }
    return out;
}

int PrintReport(records::RecordStore& store, bool csv, const ReportFilter& filter) {
    QString error;
    const auto selected = SelectRecords(store, filter, error);
    if (!selected) {
        std::fprintf(stderr, "trm415-station: cannot read the records: %s\n",
                     error.toLocal8Bit().constData());
        return 2;
    }
    const auto* rows = &*selected;
    auto num = [](int v) { return v < 0 ? QString() : QString::number(v); };
    if (csv) {
        const QByteArray text = RecordsCsv(*rows);
        std::fwrite(text.constData(), 1, static_cast<std::size_t>(text.size()), stdout);
        return 0;
    }
    int ok = 0, refused = 0, other = 0, unfinished = 0;
    std::printf("%-24s %-12s %-8s %-10s %-12s %-18s %4s %8s  %s\n", "START (UTC)", "STATION",
                "SLOT", "PORT", "SERIAL", "RESULT", "EXIT", "DURATION", "IDENTITY");
    for (const records::UpdateRecord& r : *rows) {
        const QString duration =
            r.end.isValid() ? QString("%1 s").arg(r.start.msecsTo(r.end) / 1000.0, 0, 'f', 1) : "";
        std::printf("%-24s %-12s %-8s %-10s %-12s %-18s %4s %8s  %s\n",
                    r.start.toString(Qt::ISODateWithMs).toLocal8Bit().constData(),
                    (r.station.isEmpty() ? "-" : r.station).toLocal8Bit().constData(),
                    (r.slot.isEmpty() ? "-" : r.slot).toLocal8Bit().constData(),
                    (r.port.isEmpty() ? "-" : r.port).toLocal8Bit().constData(),
                    (r.serial.isEmpty() ? "-" : r.serial).toLocal8Bit().constData(),
                    r.result.toLocal8Bit().constData(), num(r.exitStatus).toLocal8Bit().constData(),
                    duration.toLocal8Bit().constData(), r.identity.toLocal8Bit().constData());
        const bool failed =
            r.result != "ok" && r.result != "refused" && r.result != records::kUnfinished;
        if ((failed || r.result == "refused") && !r.message.isEmpty()) {
            std::printf("%24s %s\n", "", ("  " + r.message.trimmed()).toLocal8Bit().constData());
        }
        (r.result == "ok"                   ? ok
         : r.result == "refused"            ? refused
         : r.result == records::kUnfinished ? unfinished
                                            : other) += 1;
    }
    std::printf("%zu updates: ok %d, refused %d, failed %d, unfinished %d (times in UTC)\n",
                rows->size(), ok, refused, other, unfinished);
    return 0;
}

} // namespace trm::station
