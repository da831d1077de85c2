#include "testing/kit/images.h"

#include "download/protocol.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

QByteArray randomImage(int size, quint32 seed)
{
    QByteArray image(size, Qt::Uninitialized);
    QRandomGenerator rng(seed);
    const int words = size / int(sizeof(quint32));
    // Whole words at a time: the large images of the benchmark would take seconds byte by byte.
    rng.fillRange(reinterpret_cast<quint32 *>(image.data()), words);
    for (int i = words * int(sizeof(quint32)); i < size; ++i)
        image[i] = char(rng.bounded(256));
    return image;
}

QByteArray headerFor(const QByteArray &image)
{
    return Protocol::headerFrame(0, image.size(), imageChecksum(image));
}

QString writeFile(const QString &dir, const QString &name, const QByteArray &content)
{
    const QString path = QDir(dir).filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}
