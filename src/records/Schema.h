// The records' schema, the same on SQLite and PostgreSQL, with its version and the
// migrations from earlier versions. Version 1: the table updates. Version 2: the
// station's name on every row (column station) and the table stations. Version 3: an
// index for each shape of question the records are asked.
#pragma once

#include <QSqlDatabase>
#include <QString>

#include <functional>

namespace trm::records {

inline constexpr int kRecordsSchema = 3;

// Creates the schema in a new database, or upgrades an older one, in one transaction.
// Fails, with the reason in `error`, for a database of a newer schema (left as it is).
// `readOnly`: only checks the version; creates and migrates nothing. `say` (may be
// empty) is told when an upgrade of a store that holds rows begins.
bool EnsureSchema(QSqlDatabase& db, bool postgres, bool readOnly, QString& error,
                  const std::function<void(const QString&)>& say = {});

} // namespace trm::records
