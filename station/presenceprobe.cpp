#include "station/presenceprobe.h"

#include "download/dudozerdownload.h"
#include "download/protocol.h"
#include "station/folderwatch.h"

#include <QFileInfo>

#include <termios.h>

PresenceProbe::PresenceProbe(const RunSettings &settings, const QString &path,
                             const QString &device, QObject *parent)
    : QObject(parent), settings(settings), path(path), device(device)
{
    ticker.setInterval(dudoZerDownload::timing().tickMs);
    connect(&ticker, &QTimer::timeout, this, &PresenceProbe::tick);
    connect(&port, &QSerialPort::readyRead, this, [this] {
        port.readAll();
        silence.restart();
    });
    connect(&port, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError error) {
        if (error == QSerialPort::ResourceError)
            QMetaObject::invokeMethod(this, &PresenceProbe::gone, Qt::QueuedConnection);
    });
    connect(&command, &ResetCommand::finished, this, [this] {
        resetting = false;
        open();
    });
}

PresenceProbe::~PresenceProbe() = default;

void PresenceProbe::start()
{
    // A board unplugged is seen as its port goes, not at the next handshake.
    auto *watch = new FolderWatch(path, this);
    connect(watch, &FolderWatch::changed, this, &PresenceProbe::check);
    silence.start();
    ticker.start();
    if (settings.resetCommand.isEmpty()) {
        open();
        tick(); // a board already gone frees its slot at once
        return;
    }
    resetting = true;
    command.start(settings.resetCommand, path);
}

void PresenceProbe::open()
{
    port.setPortName(path);
    port.setBaudRate(settings.baud);
    if (!port.open(QIODevice::ReadWrite))
        return; // tried again on the next tick
    if (settings.reset) {
        QString ignored; // a line that cannot be driven only means no reset
        settings.reset->run(int(port.handle()), &ignored);
        ::tcflush(int(port.handle()), TCIFLUSH);
    }
    silence.restart();
}

bool PresenceProbe::vanished() const
{
    // Gone, or a by-path name that now leads to another device: another board. A reset command
    // may power the board off and on, and its port with it: then only a lasting silence counts.
    return settings.resetCommand.isEmpty() && QFileInfo(path).canonicalFilePath() != device;
}

void PresenceProbe::check()
{
    if (!over && !resetting && vanished())
        gone();
}

void PresenceProbe::tick()
{
    if (over || resetting)
        return;
    if (vanished() || silence.elapsed() >= settings.goneAfterMs) {
        gone();
        return;
    }
    if (!port.isOpen())
        open();
    if (!port.isOpen())
        return;
    port.write(Protocol::handshakeFrame());
    port.flush();
}

void PresenceProbe::gone()
{
    if (over)
        return;
    over = true;
    ticker.stop();
    command.stop();
    port.close();
    emit left();
}
