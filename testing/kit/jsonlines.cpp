#include "testing/kit/jsonlines.h"

#include <QFile>
#include <QJsonDocument>

QList<QJsonObject> readJsonLines(const QString &path)
{
    QFile file(path);
    QList<QJsonObject> lines;
    if (file.open(QIODevice::ReadOnly))
        for (const QByteArray &line : file.readAll().split('\n'))
            if (!line.isEmpty())
                lines << QJsonDocument::fromJson(line).object();
    return lines;
}
