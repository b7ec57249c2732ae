// The jig's hooks.
#include "station/Hooks.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QPointer>
#include <QProcess>
#include <QTimer>

#include <csignal>
#include <unistd.h>

namespace trm::station {
namespace {

Q_LOGGING_CATEGORY(lcHooks, "trm415.hooks")

// What a hook prints is logged, up to this much.
constexpr qsizetype kOutputKept = 4096;

} // namespace

std::optional<HookCommand> ParseHook(const QString& text, QString& error) {
    // Words as a shell splits them, and nothing more: '...' and "..." group, a backslash
    // takes the next character as it is; no variable, glob or redirection.
    QStringList words;
    QString word;
    bool inWord = false;
    QChar quote;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (quote.isNull() && c.isSpace()) {
            if (inWord) {
                words << word;
                word.clear();
                inWord = false;
            }
            continue;
        }
        inWord = true;
        if (c == '\\' && quote != '\'' && i + 1 < text.size()) {
            word += text[++i];
        } else if (quote.isNull() && (c == '\'' || c == '"')) {
            quote = c;
        } else if (!quote.isNull() && c == quote) {
            quote = QChar();
        } else {
            word += c;
        }
    }
    if (!quote.isNull()) {
        error = "the hook's command has an unbalanced quote";
        return std::nullopt;
    }
    if (inWord) {
        words << word;
    }
    if (words.isEmpty() || words.first().isEmpty()) {
        error = "a hook is a command, such as /usr/local/bin/lamp green";
        return std::nullopt;
    }
    return HookCommand{words.first(), words.mid(1), text};
}

Hooks::Hooks(QObject* parent) : QObject(parent) {}

Hooks::~Hooks() {
    for (QProcess* p : findChildren<QProcess*>()) {
        p->disconnect(this);
        if (p->processId() > 0) {
            ::kill(-static_cast<pid_t>(p->processId()), SIGKILL);
        }
        p->waitForFinished(1000);
    }
}

void Hooks::run(const HookCommand& command, const QString& event,
                const QMap<QString, QString>& env) {
    if (running_ >= kMaxRunning) {
        emit problem(QString("hook %1 for slot %2 not run: %3 hooks are still running")
                         .arg(event, env.value("TRM_SLOT"))
                         .arg(running_));
        return;
    }
    auto* p = new QProcess(this);
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    e.insert("TRM_EVENT", event);
    for (auto it = env.begin(); it != env.end(); ++it) {
        e.insert(it.key(), it.value());
    }
    p->setProcessEnvironment(e);
    p->setProcessChannelMode(QProcess::MergedChannels);
    p->setStandardInputFile(QProcess::nullDevice());
    // Its own process group, so that a hook's children are killed with it.
    p->setChildProcessModifier([] { ::setpgid(0, 0); });
    const QString what =
        QString("hook %1 (%2) for slot %3").arg(event, command.text, env.value("TRM_SLOT"));
    auto* limit = new QTimer(p);
    limit->setSingleShot(true);
    auto output = std::make_shared<QByteArray>();
    auto timedOut = std::make_shared<bool>(false);
    connect(p, &QProcess::readyRead, p, [p, output] {
        const QByteArray more = p->readAll();
        if (output->size() < kOutputKept) {
            *output += more.left(kOutputKept - output->size());
        }
    });
    connect(limit, &QTimer::timeout, p, [p, timedOut] {
        *timedOut = true;
        if (p->processId() > 0) {
            ::kill(-static_cast<pid_t>(p->processId()), SIGKILL);
        }
    });
    connect(p, &QProcess::finished, this,
            [this, p, what, output, timedOut](int code, QProcess::ExitStatus status) {
                --running_;
                // Each line its own, with the hook and the slot it came from.
                for (const QString& line : QString::fromUtf8(*output).split('\n')) {
                    if (!line.trimmed().isEmpty()) {
                        qCInfo(lcHooks).noquote() << what << "said:" << line.trimmed();
                    }
                }
                if (*timedOut) {
                    emit problem(QString("%1 killed: still running after %2 s")
                                     .arg(what)
                                     .arg(timeLimitMs / 1000.0));
                } else if (status == QProcess::CrashExit) {
                    emit problem(QString("%1 ended by signal %2").arg(what).arg(code));
                } else if (code != 0) {
                    emit problem(QString("%1 failed with status %2").arg(what).arg(code));
                }
                p->deleteLater();
            });
    connect(p, &QProcess::errorOccurred, this, [this, p, what](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            --running_;
            emit problem(QString("%1 cannot start: %2").arg(what, p->errorString()));
            p->deleteLater();
        }
    });
    ++running_;
    qCDebug(lcHooks).noquote() << "running" << what;
    p->start(command.program, command.arguments);
    limit->start(timeLimitMs);
}

void Hooks::finish() {
    QElapsedTimer clock;
    clock.start();
    while (running_ > 0 && clock.elapsed() < timeLimitMs + 2000) {
        QEventLoop loop;
        QTimer::singleShot(50, &loop, &QEventLoop::quit);
        loop.exec();
    }
}

} // namespace trm::station
