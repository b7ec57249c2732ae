// The log: standard error as Qt's rules say, and a full-detail file.
#include "cli/Log.h"

#include "cli/Terminal.h"

#include <QDateTime>
#include <QFile>
#include <QTextStream>

#include <cstdio>
#include <memory>
#include <mutex>

namespace trm::cli {

namespace {

std::unique_ptr<QFile> logFile;
std::mutex logMutex;
bool verboseLog = false;
QtMessageHandler previous = nullptr;

const char* typeName(QtMsgType type) {
    switch (type) {
    case QtDebugMsg:
        return "debug";
    case QtInfoMsg:
        return "info";
    case QtWarningMsg:
        return "warning";
    case QtCriticalMsg:
        return "critical";
    case QtFatalMsg:
        return "fatal";
    }
    return "?";
}

// With a log file every trm415 category is enabled at full detail; what standard error
// shows of it stays as the user asked (--verbose or QT_LOGGING_RULES).
void handler(QtMsgType type, const QMessageLogContext& context, const QString& said) {
    const QByteArray category = context.category != nullptr ? context.category : "default";
    // One line an event: a serial or a hook's output cannot forge a line, nor act on a
    // terminal that follows the log.
    const QString message = Visible(said);
    if (logFile) {
        std::lock_guard lock(logMutex);
        const QByteArray line =
            QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toUtf8() + " " + category +
            " " + typeName(type) + ": " + message.toUtf8() + "\n";
        logFile->write(line);
        logFile->flush();
    }
    const bool ours = category.startsWith("trm415.");
    const bool detail = type == QtDebugMsg || type == QtInfoMsg;
    if (ours && detail && !verboseLog && !qEnvironmentVariableIsSet("QT_LOGGING_RULES")) {
        return; // enabled for the file only
    }
    if (previous != nullptr) {
        previous(type, context, message);
    }
}

} // namespace

bool InstallLog(bool verbose, const std::string& path) {
    verboseLog = verbose;
    QString rules;
    if (verbose || !path.empty()) {
        rules = "trm415.*.debug=true\ntrm415.*.info=true";
    }
    if (!path.empty()) {
        logFile = std::make_unique<QFile>(QString::fromStdString(path));
        if (!logFile->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
            logFile.reset();
            return false;
        }
    }
    if (!rules.isEmpty()) {
        QLoggingCategory::setFilterRules(rules);
    }
    previous = qInstallMessageHandler(handler);
    return true;
}

} // namespace trm::cli
