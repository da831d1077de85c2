#include "records/storeurl.h"

#include <QDir>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QUrl>
#include <QUrlQuery>

namespace
{
QString decoded(const QString &text)
{
    return QUrl::fromPercentEncoding(text.toUtf8());
}
} // namespace

std::optional<StoreUrl> StoreUrl::parse(const QString &text, QString *error)
{
    StoreUrl url;
    if (text.startsWith("sqlite:")) {
        url.path = text.mid(int(qstrlen("sqlite:")));
        if (url.path.isEmpty()) {
            *error = "the store sqlite: needs a file (sqlite:PATH)";
            return std::nullopt;
        }
        url.path = QDir::cleanPath(QDir::current().absoluteFilePath(url.path));
        return url;
    }
    // scheme://[user[:password]@][host][:port][/dbname][?key=value&...]; the host may be a
    // percent-encoded socket folder, or an IPv6 address in brackets.
    const QRegularExpressionMatch match =
        QRegularExpression(
            "^postgres(?:ql)?://(?:([^@/?]*)@)?(\\[[^\\]]*\\]|[^:/?]*)(?::([0-9]*))?(?:/([^?]*))?"
            "(?:\\?(.*))?$")
            .match(text);
    if (!match.hasMatch()) {
        *error = "the store is neither sqlite:PATH nor postgresql://[user@]host[:port]/dbname";
        return std::nullopt;
    }
    url.kind = Kind::Postgres;
    const QString userInfo = match.captured(1);
    if (userInfo.contains(':')) {
        *error = "the store's address holds a password: give it in ~/.pgpass or PGPASSFILE "
                 "instead, never on the command line";
        return std::nullopt;
    }
    url.user = decoded(userInfo);
    url.host = decoded(match.captured(2));
    if (url.host.startsWith('[') && url.host.endsWith(']'))
        url.host = url.host.mid(1, url.host.size() - 2);
    if (!match.captured(3).isEmpty())
        url.port = match.captured(3).toInt();
    url.database = decoded(match.captured(4));
    QStringList options;
    const QUrlQuery query(match.captured(5));
    for (const auto &item : query.queryItems(QUrl::FullyDecoded)) {
        if (item.first == "password") {
            *error = "the store's address holds a password: give it in ~/.pgpass or "
                     "PGPASSFILE instead, never on the command line";
            return std::nullopt;
        }
        if (item.first == "host")
            url.host = item.second;
        else if (item.first == "port")
            url.port = item.second.toInt();
        else if (item.first == "user")
            url.user = item.second;
        else if (item.first == "dbname")
            url.database = item.second;
        else
            options << item.first + '=' + item.second;
    }
    if (url.database.isEmpty()) {
        *error = "the store's address names no database (postgresql://host/dbname)";
        return std::nullopt;
    }
    url.options = options.join(';');
    return url;
}

StoreUrl StoreUrl::defaultSqlite()
{
    StoreUrl url;
    url.path = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
               "/lumedra/boards.sqlite";
    return url;
}

QString StoreUrl::display() const
{
    if (kind == Kind::Sqlite)
        return "sqlite:" + path;
    const QString where = host.isEmpty() ? QString() : QString::fromLatin1(QUrl::toPercentEncoding(host));
    return QString("postgresql://%1%2%3/%4")
        .arg(user.isEmpty() ? QString() : user + '@', where,
             port > 0 ? ':' + QString::number(port) : QString(), database);
}
