// Output styling shared by trm415-run and trm415-station.
#include "cli/Terminal.h"

#include "cli/RunnerEvents.h"

#include <QJsonDocument>

#include <algorithm>
#include <cmath>

namespace trm::cli {

Style StyleFor(bool json, bool verbose, bool stdoutIsTty, const char* noColor) {
    Style s;
    s.json = json;
    s.verbose = verbose;
    s.tty = !json && stdoutIsTty;
    // no-color.org: any value, even an empty one, turns colours off.
    s.colour = s.tty && noColor == nullptr;
    return s;
}

QString Paint(const Style& style, const QString& text, const char* code) {
    if (!style.colour || code == nullptr) {
        return text;
    }
    return QString("\033[%1m").arg(code) + text + "\033[0m";
}

const char* ToneCode(Tone tone, const char* plain) {
    return tone == Tone::Good ? "32" : tone == Tone::Bad ? "31" : plain;
}

QString ProgressBar(int position, int maximum, double elapsedS, int width) {
    const int max = std::max(maximum, 1);
    const int pos = std::clamp(position, 0, max);
    const int filled = pos * width / max;
    QString bar = "[" + QString(filled, '#') + QString(width - filled, '.') + "]";
    bar += QString(" %1%").arg(pos * 100 / max, 3);
    bar += QString("  %1/%2").arg(pos).arg(max);
    if (elapsedS > 0.05 && pos > 0) {
        const double rate = pos / elapsedS;
        bar += QString("  %1/s").arg(rate, 0, 'f', 0);
        const double left = (max - pos) / rate;
        bar += QString("  %1 s left").arg(std::ceil(left), 0, 'f', 0);
    }
    return bar;
}

void WriteJsonLine(std::FILE* out, const char* event, QJsonObject fields, double t) {
    fields.insert(events::key::kSchema, events::kSchema);
    fields.insert(events::key::kEvent, QString::fromLatin1(event));
    fields.insert(events::key::kTime, std::round(t * 1000) / 1000);
    std::fprintf(out, "%s\n", QJsonDocument(fields).toJson(QJsonDocument::Compact).constData());
    std::fflush(out);
}

QString Visible(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20 || (u >= 0x7f && u < 0xa0)) {
            out += QString("\\x%1").arg(static_cast<unsigned>(u), 2, 16, QChar('0'));
        } else {
            out += c;
        }
    }
    return out;
}

} // namespace trm::cli
