#include "testing/kit/enginerun.h"

#include "testing/kit/images.h"

#include <QEventLoop>
#include <QSerialPort>
#include <QTimer>

EngineRun::EngineRun()
{
    QObject::connect(engine.get(), &dudoZerDownload::backInfo,
                     [this](dudoZerDownload::E_REBACK code) { results << code; });
    QObject::connect(engine.get(), &dudoZerDownload::sendPercent,
                     [this](int percent) { percents << percent; });
}

bool EngineRun::start(const QString &port, const QByteArray &image, int baud)
{
    return engine->startDownload(image.size(), 0, imageChecksum(image), image, port, baud);
}

bool EngineRun::waitForResult(int timeoutMs)
{
    // Left from the result's own signal: a loop that looked now and then could let a second
    // time-out in, which the engine repeats at every tick until its owner lets it go.
    QEventLoop loop;
    QObject::connect(engine.get(), &dudoZerDownload::backInfo, &loop, &QEventLoop::quit);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    if (results.isEmpty())
        loop.exec();
    return results.size() == 1;
}

bool portFree(const QString &name)
{
    QSerialPort port(name);
    return port.open(QIODevice::ReadWrite);
}
