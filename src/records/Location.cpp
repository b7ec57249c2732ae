// Reading where the records are.
#include "records/Location.h"

#include <QRegularExpression>
#include <QUrl>
#include <QUrlQuery>

namespace trm::records {
namespace {

const char* const kPasswordAdvice =
    "a password (password, sslpassword) is never given in the records URI (it would show in ps, in "
    "logs and in "
    "records): put it in ~/.pgpass or in the file PGPASSFILE names, or use a service "
    "file (postgresql:///?service=NAME); see man trm415-station";

// A libpq parameter value that passes through as it is: no blanks, quotes,
// backslashes or semicolons (the driver joins the parameters with blanks).
bool plainValue(const QString& v) {
    static const QRegularExpression bad(R"([\s'"\\;])");
    return !v.isEmpty() && !v.contains(bad);
}

} // namespace

QString Location::uri() const {
    return shown(false);
}

QString Location::display() const {
    return shown(true);
}

QString Location::shown(bool withoutValues) const {
    if (!isServer()) {
        return path;
    }
    QUrl url;
    url.setScheme("postgresql");
    if (!user.isEmpty()) {
        url.setUserName(user);
    }
    url.setHost(host.startsWith('/') ? QString() : host);
    if (port > 0) {
        url.setPort(port);
    }
    url.setPath("/" + dbname);
    QUrlQuery q;
    if (host.startsWith('/')) {
        q.addQueryItem("host", withoutValues ? "..." : host);
    }
    for (const QString& o : options) {
        const qsizetype eq = o.indexOf('=');
        q.addQueryItem(o.left(eq), withoutValues ? "..." : o.mid(eq + 1));
    }
    url.setQuery(q);
    return url.toString();
}

std::optional<Location> ParseLocation(const QString& text, QString& error) {
    Location l;
    static const QRegularExpression scheme("^([A-Za-z][A-Za-z0-9+.-]*)://");
    const QRegularExpressionMatch m = scheme.match(text);
    if (!m.hasMatch()) {
        if (text.isEmpty()) {
            error = "the records location is empty";
            return std::nullopt;
        }
        // A file: never SQLite's database in memory, a temporary one or a URI name,
        // whose rows nobody could read afterwards.
        if (text == ":memory:" || text.startsWith("file:", Qt::CaseInsensitive) ||
            text.trimmed().isEmpty()) {
            error = QString("the records must be a file, not '%1' (whose rows would not be "
                            "kept)")
                        .arg(text);
            return std::nullopt;
        }
        l.path = text;
        return l;
    }
    const QString s = m.captured(1).toLower();
    if (s != "postgresql" && s != "postgres") {
        error = QString("records at '%1://...' are not supported: give a file (SQLite) or a "
                        "postgresql:// URI")
                    .arg(m.captured(1));
        return std::nullopt;
    }
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid()) {
        error = "the records URI does not parse: " + url.errorString();
        return std::nullopt;
    }
    const QUrlQuery query(url);
    // libpq's parameters that carry a secret.
    if (!url.password().isEmpty() || query.hasQueryItem("password") ||
        query.hasQueryItem("sslpassword")) {
        error = kPasswordAdvice;
        return std::nullopt;
    }
    l.kind = Location::Kind::PostgreSQL;
    l.host = url.host();
    l.port = url.port(-1);
    l.user = url.userName(QUrl::FullyDecoded);
    l.dbname = url.path(QUrl::FullyDecoded).mid(1);
    static const QRegularExpression key("^[a-z_]+$");
    for (const auto& [k, v] : query.queryItems(QUrl::FullyDecoded)) {
        if (!key.match(k).hasMatch() || !plainValue(v)) {
            error = QString("the records URI's parameter '%1' cannot be passed on as it is").arg(k);
            return std::nullopt;
        }
        if (k == "host") {
            l.host = v;
        } else if (k == "port") {
            bool ok = false;
            l.port = v.toInt(&ok);
            if (!ok || l.port <= 0 || l.port > 65535) {
                error = "the records URI's port is not a port number";
                return std::nullopt;
            }
        } else if (k == "dbname") {
            l.dbname = v;
        } else if (k == "user") {
            l.user = v;
        } else {
            l.options << k + "=" + v;
        }
    }
    for (const QString& v : {l.host, l.dbname, l.user}) {
        if (!v.isEmpty() && !plainValue(v)) {
            error = "the records URI's host, database or user cannot be passed on as it is";
            return std::nullopt;
        }
    }
    return l;
}

} // namespace trm::records
