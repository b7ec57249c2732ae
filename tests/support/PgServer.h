// The tests' private PostgreSQL server, started by the fixture PostgreSQL.start: its
// port, a fresh database for a test, and its processes to stop and wake.
#pragma once

#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>

#include <gtest/gtest.h>

#include <unistd.h>

namespace trm::testing {

// The fixture's server: its port, its databases, and its processes to stop and wake.
class Server {
public:
    Server() {
        QFile f(QString(TRM_PG_DIR) + "/port");
        if (f.open(QIODevice::ReadOnly)) {
            port_ = f.readAll().trimmed().toInt();
        }
    }
    bool up() const { return port_ > 0; }
    QString uri(const QString& db) const {
        return QString("postgresql://trm415@127.0.0.1:%1/%2").arg(port_).arg(db);
    }
    // A fresh database of its own for a test.
    void create(const QString& db) {
        {
            QSqlDatabase c = QSqlDatabase::addDatabase("QPSQL", "admin");
            c.setHostName("127.0.0.1");
            c.setPort(port_);
            c.setUserName("trm415");
            c.setDatabaseName("postgres");
            ASSERT_TRUE(c.open()) << c.lastError().text().toStdString();
            QSqlQuery q(c);
            q.exec("DROP DATABASE IF EXISTS " + db);
            ASSERT_TRUE(q.exec("CREATE DATABASE " + db)) << q.lastError().text().toStdString();
        }
        QSqlDatabase::removeDatabase("admin");
    }
    // SIGSTOP or SIGCONT to the postmaster and every backend: the server hangs.
    void signal(const char* sig) {
        QProcess::execute("sh", {"-c", QString("p=$(head -n 1 %1/data/postmaster.pid); "
                                               "kill -%2 $p $(pgrep -P $p)")
                                           .arg(TRM_PG_DIR, sig)});
    }
    void stop() { QProcess::execute("sh", {"-c", pgctl("-m fast -w stop")}); }
    void start() {
        QProcess::execute("sh", {"-c", pgctl(QString("-w -t 30 -l %1/server.log -o '-k %1 -p %2 "
                                                     "-c listen_addresses=127.0.0.1 -c fsync=off' "
                                                     "start")
                                                 .arg(TRM_PG_DIR)
                                                 .arg(port_))});
    }

private:
    static QString pgctl(const QString& args) {
        const QString as = ::getuid() == 0 ? "runuser -u nobody -- " : "";
        return QString("%1/usr/lib/postgresql/15/bin/pg_ctl -D %2/data %3")
            .arg(as, TRM_PG_DIR, args);
    }
    int port_ = 0;
};

} // namespace trm::testing
