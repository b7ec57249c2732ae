// trm415-station's output.
#include "station/StationView.h"

#include <QLoggingCategory>

#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

namespace trm::station {
namespace {

// "boot-loader" as the table shows it.
QString phaseText(const QString& phase) {
    QString t = phase;
    return t.replace('-', ' ');
}

} // namespace

StationView::StationView(Station& station, Style style, bool bell, std::FILE* out)
    : station_(station), style_(style), bell_(bell), out_(out) {
    connect(&station_, &Station::slotChanged, this, &StationView::onSlotChanged);
    connect(&station_, &Station::updateEnded, this, &StationView::onUpdateEnded);
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

Q_LOGGING_CATEGORY(lcStation, "trm415.station", QtWarningMsg)

void StationView::note(const QString& said, QJsonObject fields, Tone tone) {
    qCInfo(lcStation, "%s", qUtf8Printable(said));
    if (style_.json) {
        fields.insert("text", said);
        emitJson("station", fields);
        return;
    }
    const QString text = cli::Visible(said); // a line may hold what a unit said
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

void StationView::onUpdateEnded(int index, const UpdateEnd& end) {
    const SlotStatus& s = station_.slotStatus()[static_cast<std::size_t>(index)];
    const records::UpdateRecord& r = end.record;
    const QString result = records::ResultText(r.result);
    qCInfo(lcStation, "slot %s (%s): %s, exit status %d, record %s", qUtf8Printable(s.label),
           qUtf8Printable(s.port), qUtf8Printable(result), r.exitStatus, qUtf8Printable(r.id));
    if (style_.json) {
        QJsonObject fields = SlotJson(s, station_.now());
        fields.insert("draining", station_.draining());
        fields.insert("result", result);
        fields.insert("exit_status", r.exitStatus);
        fields.insert("message", r.message);
        fields.insert("image_pair", r.imagePair);
        fields.insert("recovered", end.recovered);
        fields.insert("record_id", r.id);
        fields.insert("elapsed_s", end.elapsedS);
        if (!r.serial.isEmpty()) {
            fields.insert("serial", r.serial);
        }
        emitJson("result", fields);
        return;
    }
    QString text = QString("%1 (%2): %3, exit status %4 after %5 s")
                       .arg(s.label, s.port, result)
                       .arg(r.exitStatus)
                       .arg(end.elapsedS, 0, 'f', 1);
    if (end.recovered && r.imagePair >= 0) {
        text += QString(", found in its boot loader: image pair %1 written").arg(r.imagePair);
    }
    if (!r.message.isEmpty()) {
        text += QString(": \"%1\"").arg(r.message);
    }
    if (!end.cure.isEmpty()) {
        text += "; " + end.cure;
    }
    const bool ok = r.result == records::Result::Ok;
    note(text, {}, ok ? Tone::Good : Tone::Bad);
    if (!ok && style_.tty && bell_) {
        std::fputs("\a", out_);
        std::fflush(out_);
    }
}

void StationView::onSlotChanged(int index) {
    const SlotStatus& s = station_.slotStatus()[static_cast<std::size_t>(index)];
    qCDebug(lcStation, "slot %s (%s): %s %s", qUtf8Printable(s.label), qUtf8Printable(s.port),
            StateName(s.state), qUtf8Printable(s.phase));
    if (style_.json) {
        QJsonObject fields = SlotJson(s, station_.now());
        fields.insert("draining", station_.draining());
        emitJson("slot", fields);
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
    } else if (s.state == SlotState::Removed) {
        line += ": " + s.message;
    }
    while (lastLine_.size() <= index) {
        lastLine_ << QString();
    }
    if (lastLine_[index] != line) {
        lastLine_[index] = line;
        std::fprintf(out_, "[%7.1fs] %s\n", station_.now(),
                     cli::Visible(line).toLocal8Bit().constData());
        std::fflush(out_);
    }
}

QString StationView::totalsLine() const {
    const StationTotals t = station_.totals();
    return QString("ok %1   refused %2   failed %3   running %4   yield %5 ok/hour   %6 "
                   "units/hour%7")
               .arg(t.ok)
               .arg(t.refused)
               .arg(t.failed)
               .arg(t.running)
               .arg(t.okPerHour, 0, 'f', 0)
               .arg(t.unitsPerHour, 0, 'f', 0)
               .arg(station_.draining() ? "   stopping: no new update starts" : "") +
           (held_ > 0 ? QString("   records held %1 since %2 UTC%3")
                            .arg(held_)
                            .arg(heldSince_.toString("HH:mm:ss"))
                            .arg(answering_ ? "" : " (server not answering)")
                      : QString());
}

void StationView::setHeld(int held, const QDateTime& since, bool answering) {
    held_ = held;
    heldSince_ = since;
    answering_ = answering;
    dirty_ = true;
}

namespace {

// The terminal's width (120 when it cannot be told).
int terminalColumns() {
    winsize ws{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) {
        return ws.ws_col;
    }
    return 120;
}

// "12 s", "3 min", "2 h": how long ago.
QString ago(double seconds) {
    if (seconds < 90) {
        return QString("%1 s").arg(seconds, 0, 'f', 0);
    }
    if (seconds < 5400) {
        return QString("%1 min").arg(seconds / 60, 0, 'f', 0);
    }
    return QString("%1 h").arg(seconds / 3600, 0, 'f', 0);
}

} // namespace

QString StationView::table() const {
    QString t = QString("%1 %2 %3 %4 %5 %6  %7\n")
                    .arg("SLOT", -10)
                    .arg("PORT", -10)
                    .arg("STATE", -9)
                    .arg("PHASE", -24)
                    .arg("PROGRESS", -20)
                    .arg("ELAPSED", 8)
                    .arg("NOTE");
    const double now = station_.now();
    const int noteWidth = std::max(terminalColumns() - 90, 12); // 88 columns before it
    for (const SlotStatus& s : station_.slotStatus()) {
        const bool busy = s.state == SlotState::Updating;
        const bool removed = s.state == SlotState::Removed;
        QString progress;
        if (busy && s.percent >= 0) {
            const int filled = s.percent / 10;
            progress = "[" + QString(filled, '#') + QString(10 - filled, '.') + "]" +
                       QString(" %1%").arg(s.percent, 3);
        }
        const QString elapsed =
            busy || removed ? QString("%1 s").arg(now - s.startedAt, 0, 'f', 0) : QString();
        // The note: what to do now for a removed unit; the verdict of the unit on the slot
        // once it has ended; else the previous unit's verdict, dimmed, with its age.
        QString note = "-";
        const char* noteColour = nullptr;
        if (removed) {
            note = QString("removed %1 ago: %2").arg(ago(now - s.removedAt), s.cure);
            noteColour = "33";
        } else if (busy && s.lastVerdict) {
            note = QString("last: %1, %2 ago")
                       .arg(records::ResultText(*s.lastVerdict), ago(now - s.lastVerdictAt));
            noteColour = "2";
        } else if (s.lastVerdict) {
            const bool good = *s.lastVerdict == records::Result::Ok;
            note = records::ResultText(*s.lastVerdict);
            if (!good && !s.cure.isEmpty()) {
                note += ": " + s.cure;
            } else if (!good && !s.message.isEmpty()) {
                note += ": " + s.message;
            }
            noteColour = good ? "32" : "31";
        }
        // One screen line per slot: a row that wrapped would throw off the redraw.
        if (note.size() > noteWidth) {
            note = note.left(std::max(noteWidth - 3, 1)) + "...";
        }
        note = cli::Paint(style_, note, noteColour);
        const QString state = cli::Paint(style_, QString(StateName(s.state)).leftJustified(9),
                                         removed ? "33" : nullptr);
        t += QString("%1 %2 %3 %4 %5 %6  %7\n")
                 .arg(s.label.left(10), -10)
                 .arg(s.port.left(10), -10)
                 .arg(state)
                 .arg(busy || removed ? phaseText(s.phase).left(24) : QString(), -24)
                 .arg(progress, -20)
                 .arg(elapsed, 8)
                 .arg(note);
    }
    if (station_.slotStatus().empty()) {
        t += "waiting for units on any port\n";
    }
    QString totals = totalsLine();
    if (totals.size() >= terminalColumns()) {
        totals = totals.left(terminalColumns() - 1);
    }
    return t + totals + "\n";
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

double CpuSeconds(int who) {
    rusage u{};
    if (::getrusage(who, &u) != 0) {
        return 0;
    }
    const double s = static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
                     static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    return std::round(s * 1000) / 1000;
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
                            {"ok_per_hour", std::round(t.okPerHour)},
                            {"units_per_hour", std::round(t.unitsPerHour)},
                            {"records_held", std::max(held_, 0)},
                            {"exit_status", station_.exitStatus()},
                            {"station_cpu_s", CpuSeconds(RUSAGE_SELF)},
                            {"runners_cpu_s", CpuSeconds(RUSAGE_CHILDREN)}});
        return;
    }
    note(totalsLine(), {}, station_.exitStatus() == 0 ? Tone::Good : Tone::Bad);
}

} // namespace trm::station
