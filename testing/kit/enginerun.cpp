#include "testing/kit/enginerun.h"

#include "testing/kit/images.h"
#include "testing/kit/waitfor.h"

#include <QSerialPort>

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
    return waitFor([this] { return !results.isEmpty(); }, timeoutMs) && results.size() == 1;
}

bool portFree(const QString &name)
{
    QSerialPort port(name);
    return port.open(QIODevice::ReadWrite);
}
