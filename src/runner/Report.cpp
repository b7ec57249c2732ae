// trm415-run's output.
#include "runner/Report.h"

#include <QJsonDocument>

#include <algorithm>
#include <cmath>

namespace trm::runner {

Style StyleFor(bool json, bool verbose, bool stdoutIsTty, const char* noColor) {
    Style s;
    s.json = json;
    s.verbose = verbose;
    s.tty = !json && stdoutIsTty;
    // no-color.org: any value, even an empty one, turns colours off.
    s.colour = s.tty && noColor == nullptr;
    return s;
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

Report::Report(Style style, std::FILE* out) : style_(style), out_(out) {
    clock_.start();
}

QString Report::colour(const QString& text, const char* code) const {
    if (!style_.colour) {
        return text;
    }
    return QString("\033[%1m").arg(code) + text + "\033[0m";
}

void Report::endBar() {
    if (barShown_) {
        std::fputs("\r\033[K", out_);
        barShown_ = false;
    }
}

void Report::event(const char* name, const QString& phase, const QString& text, QJsonObject fields,
                   Tone tone) {
    if (style_.json) {
        fields.insert("schema", kSchema);
        fields.insert("event", QString::fromLatin1(name));
        fields.insert("t", std::round(now() * 1000) / 1000);
        std::fprintf(out_, "%s\n",
                     QJsonDocument(fields).toJson(QJsonDocument::Compact).constData());
        std::fflush(out_);
        return;
    }
    endBar();
    const char* toneCode = tone == Tone::Good ? "32" : tone == Tone::Bad ? "31" : nullptr;
    const QString body = toneCode != nullptr ? colour(text, toneCode) : text;
    std::fprintf(out_, "[%7.1fs] %s %s\n", now(),
                 colour(phase.leftJustified(17), "1;36").toLocal8Bit().constData(),
                 body.toLocal8Bit().constData());
    std::fflush(out_);
}

void Report::beginProgress(const QString& phase, const QString& unit) {
    progressPhase_ = phase;
    progressUnit_ = unit;
    progressStart_ = now();
    lastTenth_ = -1;
}

void Report::progress(int position, int maximum) {
    if (maximum <= 0 || progressPhase_.isEmpty()) {
        return;
    }
    const double elapsed = now() - progressStart_;
    if (style_.tty) {
        std::fprintf(out_, "\r\033[K           %s %s",
                     progressPhase_.leftJustified(17).toLocal8Bit().constData(),
                     ProgressBar(position, maximum, elapsed).toLocal8Bit().constData());
        std::fflush(out_);
        barShown_ = true;
        return;
    }
    const int tenth = std::clamp(position, 0, maximum) * 10 / maximum;
    if (tenth <= lastTenth_ || tenth == 0) {
        lastTenth_ = std::max(lastTenth_, tenth);
        return;
    }
    lastTenth_ = tenth;
    event("progress", progressPhase_,
          QString("%1% %2/%3 %4").arg(tenth * 10).arg(position).arg(maximum).arg(progressUnit_),
          {{"phase", progressPhase_},
           {"position", position},
           {"maximum", maximum},
           {"percent", tenth * 10}});
}

void Report::endProgress() {
    endBar();
    progressPhase_.clear();
}

} // namespace trm::runner
