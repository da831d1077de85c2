#include "testing/kit/storerows.h"

#include <QCoreApplication>
#include <QDir>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

QList<QStringList> storeRows(const QString &url, const QString &sql, const QString &folder)
{
    const QString name = QStringLiteral("read-back");
    QList<QStringList> found;
    {
        const bool postgres = !url.startsWith("sqlite:");
        QSqlDatabase db = QSqlDatabase::addDatabase(postgres ? "QPSQL" : "QSQLITE", name);
        if (postgres) {
            db.setHostName(qEnvironmentVariable("LUMEDRA_TEST_POSTGRES_DIR"));
            db.setUserName("lumedra");
            db.setDatabaseName(url.section('/', -1));
        } else {
            db.setDatabaseName(QDir(folder).filePath(url.mid(QString("sqlite:").size())));
        }
        if (db.open()) {
            QSqlQuery query(db);
            if (query.exec(sql))
                while (query.next()) {
                    QStringList row;
                    for (int i = 0; i < query.record().count(); ++i)
                        row << query.value(i).toString();
                    found << row;
                }
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return found;
}

QString freshPostgresStore(const QString &prefix)
{
    static int made = 0;
    const QString name =
        QString("%1_%2_%3").arg(prefix).arg(QCoreApplication::applicationPid()).arg(++made);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QPSQL", "create");
        db.setHostName(qEnvironmentVariable("LUMEDRA_TEST_POSTGRES_DIR"));
        db.setUserName("lumedra");
        db.setDatabaseName("lumedra");
        if (db.open()) {
            QSqlQuery(db).exec("DROP DATABASE IF EXISTS " + name);
            QSqlQuery(db).exec("CREATE DATABASE " + name);
        }
        db.close();
    }
    QSqlDatabase::removeDatabase("create");
    return qEnvironmentVariable("LUMEDRA_TEST_POSTGRES").section('/', 0, -2) + '/' + name;
}
