// trm415-run's output.
#include "runner/Report.h"

#include "cli/RunnerEvents.h"
#include "cli/Terminal.h"

#include <algorithm>
#include <cmath>

namespace trm::runner {

Report::Report(Style style, std::FILE* out) : style_(style), out_(out) {
    clock_.start();
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
        cli::WriteJsonLine(out_, name, std::move(fields), now());
        return;
    }
    endBar();
    // A line may hold what the unit said.
    const QString body = cli::Paint(style_, cli::Visible(text), cli::ToneCode(tone));
    std::fprintf(out_, "[%7.1fs] %s %s\n", now(),
                 cli::Paint(style_, phase.leftJustified(17), "1;36").toLocal8Bit().constData(),
                 body.toLocal8Bit().constData());
    std::fflush(out_);
}

void Report::say(const QString& phase, const QString& text, Tone tone) {
    if (!style_.json) {
        event("", phase, text, {}, tone);
    }
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
                     cli::ProgressBar(position, maximum, elapsed).toLocal8Bit().constData());
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
    event(events::kProgress, progressPhase_,
          QString("%1% %2/%3 %4").arg(tenth * 10).arg(position).arg(maximum).arg(progressUnit_),
          {{events::key::kPhase, progressPhase_},
           {events::key::kPosition, position},
           {events::key::kMaximum, maximum},
           {events::key::kPercent, tenth * 10}});
}

void Report::endProgress() {
    endBar();
    progressPhase_.clear();
}

} // namespace trm::runner
