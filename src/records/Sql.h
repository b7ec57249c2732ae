// What every use of Qt Sql in the records needs: a statement run with its error told,
// and a named connection closed and removed.
#pragma once

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>

namespace trm::records {

// Runs `sql` (or, without it, the statement prepared in `q`). False, with the driver's
// reason in `error`, when it fails.
inline bool Exec(QSqlQuery& q, const QString& sql, QString& error) {
    if (!q.exec(sql)) {
        error = q.lastError().text().trimmed();
        return false;
    }
    return true;
}
inline bool Exec(QSqlQuery& q, QString& error) {
    if (!q.exec()) {
        error = q.lastError().text().trimmed();
        return false;
    }
    return true;
}

// Closes and forgets the connection `name`, if there is one.
inline void CloseConnection(const QString& name) {
    if (QSqlDatabase::contains(name)) {
        QSqlDatabase::database(name, false).close();
        QSqlDatabase::removeDatabase(name);
    }
}

} // namespace trm::records
