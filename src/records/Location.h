// Where the records are: a SQLite file (the embedded default) or a PostgreSQL database
// named by a connection URI as libpq takes it (postgresql://user@host:5432/line3,
// postgresql:///line3?host=/run/postgresql, postgresql:///?service=line3, with sslmode
// and the other libpq parameters). A password is never part of it: libpq reads it from
// ~/.pgpass, the file PGPASSFILE names, or a service file.
#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace trm::records {

struct Location {
    enum class Kind { SQLite, PostgreSQL };
    Kind kind = Kind::SQLite;
    QString path; // SQLite: the file
    // PostgreSQL: what the URI names; empty or -1 where libpq's defaults apply.
    QString host, dbname, user;
    int port = -1;
    QStringList options; // further libpq parameters, "key=value" each

    bool isServer() const { return kind == Kind::PostgreSQL; }
    // For messages, logs, the page and records: the file, or the URI with its
    // parameters' values left out ("?sslmode=...").
    QString display() const;
    // The whole URI (it holds no password): what tells one server from another.
    QString uri() const;

private:
    QString shown(bool withoutValues) const;
};

// Reads --records' value. Refuses, with the reason in `error`: a URI carrying a
// password, a scheme other than postgresql:// (or postgres://), a URI that does not
// parse, and parameter values that could not pass to libpq as they are.
std::optional<Location> ParseLocation(const QString& text, QString& error);

} // namespace trm::records
