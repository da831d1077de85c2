#pragma once

#include <QString>

#include <optional>

// Where the record store lives: sqlite:PATH on one station, or a PostgreSQL server in libpq's URI
// syntax for a line of them. A password never goes in here: libpq finds it in its usual places
// (PGPASSFILE, ~/.pgpass, PGPASSWORD), so it is on no command line, in no log and in no error.
struct StoreUrl {
    enum class Kind { Sqlite, Postgres };

    Kind kind = Kind::Sqlite;
    QString path; // Sqlite: the file
    QString user; // Postgres, each empty for libpq's default
    QString host; // a name, or a Unix-socket folder (starts with '/')
    int port = -1;
    QString database;
    QString options; // other URI parameters, as QPSQL connect options (key=value;...)

    static std::optional<StoreUrl> parse(const QString &text, QString *error);
    // The embedded default: lumedra/boards.sqlite in the user's data folder.
    static StoreUrl defaultSqlite();
    // For messages and the spool's name.
    QString display() const;
};
