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

// A trm415 records file says so in its SQLite header (PRAGMA application_id): "TRM4".
inline constexpr int kApplicationId = 0x54524d34;

// Whether a SQLite file may become, or already is, trm415's records: empty; marked as
// ours; or (the last releases' files, unmarked) holding our tables alone, at a schema
// this program knows. Reads only: false, with the reason, for anything else, which is
// then left as it is, byte for byte.
bool SqliteFileIsOurs(QSqlDatabase& db, QString& error);

// Creates the schema in a new database, or upgrades an older one, in one transaction.
// Fails, with the reason in `error`, for a database of a newer schema (left as it is).
// `readOnly`: only checks the version; creates and migrates nothing. `say` (may be
// empty) is told when an upgrade of a store that holds rows begins.
bool EnsureSchema(QSqlDatabase& db, bool postgres, bool readOnly, QString& error,
                  const std::function<void(const QString&)>& say = {});

} // namespace trm::records
