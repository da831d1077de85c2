#pragma once

#include "download/dudozerdownload.h"
#include "download/protocol.h"
#include "simloader.h"
#include "waitfor.h"

#include <QSerialPort>
#include <QtTest>

#include <functional>
#include <memory>

Q_DECLARE_METATYPE(SimLoader::Faults)

constexpr int UserBaud = 9600;

inline QByteArray randomImage(int size, quint32 seed)
{
    QByteArray image(size, Qt::Uninitialized);
    QRandomGenerator rng(seed);
    for (char &c : image)
        c = char(rng.bounded(256));
    return image;
}

inline quint16 checksumOf(const QByteArray &image)
{
    return quint16(byteSum(image.constData(), image.size()));
}

inline QByteArray headerFor(const QByteArray &image)
{
    return Protocol::headerFrame(0, image.size(), checksumOf(image));
}

// One engine as its owner sees it: results and percents in arrival order.
struct EngineRun {
    QList<int> results;
    QList<int> percents;
    // Declared last, so it goes before the lists its signals fill.
    std::unique_ptr<dudoZerDownload> engine = std::make_unique<dudoZerDownload>();

    EngineRun()
    {
        QObject::connect(engine.get(), &dudoZerDownload::backInfo,
                         [this](dudoZerDownload::E_REBACK code) { results << code; });
        QObject::connect(engine.get(), &dudoZerDownload::sendPercent,
                         [this](int percent) { percents << percent; });
    }

    bool start(const QString &port, const QByteArray &image, int baud = UserBaud)
    {
        return engine->startDownload(image.size(), 0, checksumOf(image), image, port, baud);
    }

    bool waitForResult(int timeoutMs)
    {
        return waitFor([this] { return !results.isEmpty(); }, timeoutMs) && results.size() == 1;
    }
};

inline QString writeFile(const QTemporaryDir &dir, const QString &name, const QByteArray &content)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

// True when nothing holds the port: QSerialPort locks the ports it opens.
inline bool portFree(const QString &name)
{
    QSerialPort port(name);
    return port.open(QIODevice::ReadWrite);
}
