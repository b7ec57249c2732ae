// The records' schema, the same on SQLite and PostgreSQL, with its version and the
// migrations from earlier versions. Version 1: the table updates. Version 2: the
// station's name on every row (column station) and the table stations.
#pragma once

#include <QSqlDatabase>
#include <QString>

namespace trm::records {

inline constexpr int kRecordsSchema = 2;

// Creates the schema in a new database, or upgrades an older one, in one transaction.
// Fails, with the reason in `error`, for a database of a newer schema (left as it is).
// `readOnly`: only checks the version; creates and migrates nothing.
bool EnsureSchema(QSqlDatabase& db, bool postgres, bool readOnly, QString& error);

} // namespace trm::records
