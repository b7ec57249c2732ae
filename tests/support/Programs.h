// Helpers of the tests that run trm415-run and trm415-station as programs: a program
// whose JSON lines are read as they come, and the rows and integrity of a records file.
#pragma once

#include "records/RecordStore.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <vector>

namespace trm::testing {

using namespace trm::records;

constexpr int kDeadlineMs = 240000;
// The simulated boot loader answers right at each step's delay: the shortest update.
const char* const kFast = "margin=0";

// The claims of this test's programs (units' ports, stations' names), apart from those of
// the tests beside it and of the machine.
inline QString TestLockDir() {
    static QTemporaryDir dir(QDir::tempPath() + "/trm415-locks-XXXXXX");
    return dir.path();
}

// One program run, its JSON lines read as they come.
class Program {
public:
    Program(const char* program, const QStringList& args) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        if (!env.contains("TRM415_LOCK_DIR")) {
            env.insert("TRM415_LOCK_DIR", TestLockDir());
        }
        p_.setProcessEnvironment(env);
        p_.start(program, args);
    }
    ~Program() {
        if (p_.state() != QProcess::NotRunning) {
            p_.kill();
            p_.waitForFinished();
        }
    }
    // Reads until `done` holds for the lines so far, or the program has ended.
    bool waitUntil(const std::function<bool()>& done, int ms = kDeadlineMs) {
        QDeadlineTimer deadline(ms);
        while (!done()) {
            if (deadline.hasExpired() ||
                (p_.state() == QProcess::NotRunning && !p_.canReadLine())) {
                return false;
            }
            p_.waitForReadyRead(100);
            readLines();
        }
        return true;
    }
    // The exit status; -1 when it did not exit normally in time.
    int finish(int ms = kDeadlineMs) {
        if (!p_.waitForFinished(ms)) {
            return -1;
        }
        readLines();
        err += p_.readAllStandardError();
        return p_.exitStatus() == QProcess::NormalExit ? p_.exitCode() : -1;
    }
    void signal(int n) { ::kill(static_cast<pid_t>(p_.processId()), n); }

    // Events named `name` (and for slot `slot`, when given).
    qint64 pid() const { return p_.processId(); }
    std::vector<QJsonObject> events(const QString& name, const QString& slot = {}) const {
        std::vector<QJsonObject> out;
        for (const QJsonObject& o : lines) {
            if (o["event"].toString() == name && (slot.isEmpty() || o["slot"].toString() == slot)) {
                out.push_back(o);
            }
        }
        return out;
    }
    std::vector<QJsonObject> lines;
    QByteArray out; // every line of standard output, JSON or not
    QByteArray err;

private:
    void readLines() {
        while (p_.canReadLine()) {
            const QByteArray line = p_.readLine();
            out += line;
            const QJsonDocument d = QJsonDocument::fromJson(line.trimmed());
            if (d.isObject()) {
                lines.push_back(d.object());
            }
        }
    }
    QProcess p_;
};

// Every row of an open store, oldest first (the tests' stores are small).
inline std::optional<std::vector<UpdateRecord>> allRows(RecordStore& store, QString& error) {
    std::vector<UpdateRecord> rows;
    if (!store.select(
            {}, 0,
            [&rows](const UpdateRecord& r) {
                rows.insert(rows.begin(), r);
                return true;
            },
            error)) {
        return std::nullopt;
    }
    return rows;
}

inline std::vector<UpdateRecord> rowsOf(const QString& path) {
    RecordStore store;
    QString error;
    EXPECT_TRUE(store.open(path, error)) << error.toStdString();
    auto rows = allRows(store, error);
    EXPECT_TRUE(rows.has_value()) << error.toStdString();
    return rows ? *rows : std::vector<UpdateRecord>{};
}

inline QString integrity(const QString& path) {
    QString result;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "integrity");
        db.setDatabaseName(path);
        if (db.open()) {
            QSqlQuery q(db);
            if (q.exec("PRAGMA integrity_check") && q.next()) {
                result = q.value(0).toString();
            }
        }
    }
    QSqlDatabase::removeDatabase("integrity");
    return result;
}

// A station's two SIGTERMs, the second once the first has been taken (two signals
// sent at once may arrive as one).
inline void signalTwice(Program& station) {
    station.signal(SIGTERM);
    station.waitUntil([&] {
        for (const QJsonObject& o : station.events("station")) {
            if (o["draining"].toBool()) {
                return true;
            }
        }
        return false;
    });
    station.signal(SIGTERM);
}

// The slot event that first shows slot `slot` in `phase`, or null.
inline bool inPhase(const Program& p, const QString& slot, const QString& phase,
                    qint64* pid = nullptr) {
    for (const QJsonObject& o : p.events("slot", slot)) {
        if (o["phase"].toString() == phase) {
            if (pid != nullptr) {
                *pid = o["pid"].toInteger();
            }
            return true;
        }
    }
    return false;
}

} // namespace trm::testing
