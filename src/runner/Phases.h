// Where the phases of one update stand, and how long each took: a "phase" event when
// one starts and when it ends (with its duration).
#pragma once

#include "runner/Report.h"

#include <QJsonObject>
#include <QLoggingCategory>
#include <QString>

#include <map>
#include <string>

namespace trm::runner {

Q_DECLARE_LOGGING_CATEGORY(lcRunner)

class Phases {
public:
    explicit Phases(Report& out) : out_(out) {}

    bool running(const char* key) const { return current_ == key; }
    bool any() const { return !current_.empty(); }
    // The phase under way ("" when none).
    QString current() const { return QString::fromStdString(current_); }
    // The phase begun last, ended or not ("" before the first).
    QString last() const { return last_; }
    // Ends the phase under way, if any, and begins `key`.
    void begin(const char* key, const QString& label, const QString& text, QJsonObject fields = {});
    // Ends the phase under way, if any, with a closing line.
    void end(const QString& text = {}, QJsonObject fields = {}, Tone tone = Tone::Plain);
    // Phase -> seconds, for every phase that has ended.
    QJsonObject durations() const;
    bool ended(const char* key) const { return durations_.count(key) > 0; }

private:
    Report& out_;
    std::string current_;
    QString label_;
    QString last_;
    double start_ = 0;
    std::map<std::string, double> durations_;
};

} // namespace trm::runner
