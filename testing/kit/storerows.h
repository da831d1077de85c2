#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// Each row's columns as text, read as the library's own connection would not: straight from the
// file or the test's PostgreSQL server (LUMEDRA_TEST_POSTGRES_DIR). A relative SQLite path is
// `folder`'s. None when the store cannot be read.
QList<QStringList> storeRows(const QString &url, const QString &sql, const QString &folder);

// A database of its own on the test's PostgreSQL server, empty, named after `prefix`, this process
// and a count; its address in the form the store takes.
QString freshPostgresStore(const QString &prefix);
