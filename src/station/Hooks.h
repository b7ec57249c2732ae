// Hooks for the jig: a command run when an update begins (--on-start) and when it has
// ended (--on-result), with the slot, port, serial, result, exit status, message and
// record id in its environment (TRM_SLOT, TRM_PORT, ...). A command is split into a
// program and its arguments and run without a shell (unless it names one, as in
// `sh -c '...'`), in a process group of its own, with a time limit: one that fails or
// outlives it is logged and killed with its group. Hooks run beside the station and
// each other; none delays a slot or another hook.
#pragma once

#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>

#include <optional>

class QProcess;

namespace trm::station {

struct HookCommand {
    QString program;
    QStringList arguments;
    QString text; // as given
};

// Splits `text` into words as a shell would ('...' and "..." group, a backslash escapes),
// with no expansion. nullopt, with the reason, for an empty or unbalanced command.
std::optional<HookCommand> ParseHook(const QString& text, QString& error);

class Hooks : public QObject {
    Q_OBJECT
public:
    static constexpr int kTimeLimitMs = 10000;
    static constexpr int kMaxRunning = 64;

    explicit Hooks(QObject* parent = nullptr);
    ~Hooks() override;

    // Runs `command` for `event` ("start" or "result") with `env` added to the station's
    // own environment. Returns at once.
    void run(const HookCommand& command, const QString& event, const QMap<QString, QString>& env);
    // Waits (on the event loop) for the hooks under way, each within its own limit.
    void finish();
    int timeLimitMs = kTimeLimitMs;

signals:
    // A hook failed, hung or was skipped; `text` says which and why.
    void problem(const QString& text);

private:
    int running_ = 0;
};

} // namespace trm::station
