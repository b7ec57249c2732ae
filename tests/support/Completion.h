// The option words a shipped bash completion offers (its `compgen -W "--..."` line).
#pragma once

#include <QFile>
#include <QRegularExpression>
#include <QString>

#include <set>
#include <string>
#include <vector>

namespace trm::testing {

inline std::set<std::string> CompletionFileWords(const QString& program) {
    QFile f(QString(QT_TESTCASE_SOURCEDIR) + "/../packaging/completions/" + program);
    std::set<std::string> words;
    if (!f.open(QIODevice::ReadOnly)) {
        return words;
    }
    static const QRegularExpression line(R"re(compgen -W "(--[^"]*)")re");
    const auto m = line.match(QString::fromUtf8(f.readAll()));
    for (const QString& w : m.captured(1).split(' ', Qt::SkipEmptyParts)) {
        words.insert(w.toStdString());
    }
    return words;
}

inline std::set<std::string> AsSet(const std::vector<std::string>& v) {
    return {v.begin(), v.end()};
}

} // namespace trm::testing
