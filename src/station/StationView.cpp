// trm415-station's output.
#include "station/StationView.h"

#include <cmath>

namespace trm::station {
namespace {

// "boot-loader" as the table shows it.
QString phaseText(const QString& phase) {
    QString t = phase;
    return t.replace('-', ' ');
}

} // namespace

StationView::StationView(Station& station, Style style, std::FILE* out)
    : station_(station), style_(style), out_(out) {
    connect(&station_, &Station::changed, this,
            [this](int index, const QString& event, const QJsonObject& fields) {
                onChanged(index, event, fields);
            });
    if (style_.tty) {
        // The table is drawn at most ten times a second, and every second for the
        // elapsed times.
        redraw_.setInterval(100);
        int ticks = 0;
        connect(&redraw_, &QTimer::timeout, this, [this, ticks]() mutable {
            if (dirty_ || ++ticks % 10 == 0) {
                redraw();
            }
        });
        redraw_.start();
    }
}

void StationView::emitJson(const char* event, QJsonObject fields) {
    cli::WriteJsonLine(out_, event, std::move(fields), station_.now());
}

void StationView::note(const QString& text, QJsonObject fields, Tone tone) {
    if (style_.json) {
        fields.insert("text", text);
        emitJson("station", fields);
        return;
    }
    const char* code = cli::ToneCode(tone, "1");
    if (style_.tty) {
        // Above the table: clear it, write the line, draw it again.
        if (drawnLines_ > 0) {
            std::fprintf(out_, "\033[%dA\033[J", drawnLines_);
            drawnLines_ = 0;
        }
        std::fprintf(out_, "[%7.1fs] %s\n", station_.now(),
                     cli::Paint(style_, text, code).toLocal8Bit().constData());
        dirty_ = true;
        return;
    }
    std::fprintf(out_, "[%7.1fs] %s\n", station_.now(), text.toLocal8Bit().constData());
    std::fflush(out_);
}

void StationView::onChanged(int index, const QString& event, const QJsonObject& fields) {
    if (style_.json) {
        emitJson(event == "result" ? "result" : "slot", fields);
        return;
    }
    const SlotStatus& s = station_.slotStatus()[static_cast<std::size_t>(index)];
    if (event == "result") {
        const QString result = fields.value("result").toString();
        QString text = QString("%1 (%2): %3, exit status %4 after %5 s")
                           .arg(s.label, s.port, result)
                           .arg(fields.value("exit_status").toInt())
                           .arg(fields.value("elapsed_s").toDouble(), 0, 'f', 1);
        const QString message = fields.value("message").toString();
        if (!message.isEmpty()) {
            text += QString(": \"%1\"").arg(message);
        }
        note(text, {}, result == "ok" ? Tone::Good : Tone::Bad);
        return;
    }
    if (style_.tty) {
        dirty_ = true;
        return;
    }
    QString line = QString("%1 (%2): %3").arg(s.label, s.port, StateName(s.state));
    if (s.state == SlotState::Updating) {
        line += " " + phaseText(s.phase);
        if (s.percent >= 0) {
            line += QString(" %1%").arg(s.percent);
        }
    }
    while (lastLine_.size() <= index) {
        lastLine_ << QString();
    }
    if (lastLine_[index] != line) {
        lastLine_[index] = line;
        std::fprintf(out_, "[%7.1fs] %s\n", station_.now(), line.toLocal8Bit().constData());
        std::fflush(out_);
    }
}

QString StationView::totalsLine() const {
    const StationTotals t = station_.totals();
    return QString("ok %1   refused %2   failed %3   running %4   %5 units/hour%6")
        .arg(t.ok)
        .arg(t.refused)
        .arg(t.failed)
        .arg(t.running)
        .arg(t.unitsPerHour, 0, 'f', 0)
        .arg(station_.draining() ? "   stopping: no new update starts" : "");
}

QString StationView::table() const {
    QString t = QString("%1 %2 %3 %4 %5 %6  %7\n")
                    .arg("SLOT", -10)
                    .arg("PORT", -10)
                    .arg("STATE", -9)
                    .arg("PHASE", -24)
                    .arg("PROGRESS", -20)
                    .arg("ELAPSED", 8)
                    .arg("LAST VERDICT");
    for (const SlotStatus& s : station_.slotStatus()) {
        const bool busy = s.state == SlotState::Updating;
        QString progress;
        if (busy && s.percent >= 0) {
            const int filled = s.percent / 10;
            progress = "[" + QString(filled, '#') + QString(10 - filled, '.') + "]" +
                       QString(" %1%").arg(s.percent, 3);
        }
        const QString elapsed =
            busy ? QString("%1 s").arg(station_.now() - s.startedAt, 0, 'f', 0) : QString();
        const QString verdict = s.lastVerdict.isEmpty() ? "-" : s.lastVerdict;
        t += QString("%1 %2 %3 %4 %5 %6  %7\n")
                 .arg(s.label.left(10), -10)
                 .arg(s.port.left(10), -10)
                 .arg(StateName(s.state), -9)
                 .arg(busy ? phaseText(s.phase).left(24) : QString(), -24)
                 .arg(progress, -20)
                 .arg(elapsed, 8)
                 .arg(s.lastVerdict.isEmpty()
                          ? verdict
                          : cli::Paint(style_, verdict, s.lastVerdict == "ok" ? "32" : "31"));
    }
    return t + totalsLine() + "\n";
}

void StationView::redraw() {
    if (!style_.tty) {
        return;
    }
    const QString t = table();
    if (drawnLines_ > 0) {
        std::fprintf(out_, "\033[%dA\033[J", drawnLines_);
    }
    std::fputs(t.toLocal8Bit().constData(), out_);
    std::fflush(out_);
    drawnLines_ = static_cast<int>(t.count('\n'));
    dirty_ = false;
}

void StationView::finish() {
    if (style_.tty) {
        redraw();
        redraw_.stop();
        return;
    }
    const StationTotals t = station_.totals();
    if (style_.json) {
        emitJson("totals", {{"ok", t.ok},
                            {"refused", t.refused},
                            {"failed", t.failed},
                            {"units_per_hour", std::round(t.unitsPerHour)},
                            {"exit_status", station_.exitStatus()}});
        return;
    }
    note(totalsLine(), {}, station_.exitStatus() == 0 ? Tone::Good : Tone::Bad);
}

} // namespace trm::station
