#pragma once

#include "station/resetcommand.h"
#include "station/runsettings.h"

#include <QElapsedTimer>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QTimer>

// Tells when a flashed board has left its slot: its port vanished (it was unplugged), or, for an
// adapter fixed in the fixture, its loader stayed silent to handshakes for a while. A reset, if the
// run has one, first brings the loader back, so that a board left in place keeps answering and is
// never taken for a new one.
class PresenceProbe : public QObject
{
    Q_OBJECT

public:
    // `device` is what `path` named while the board was flashed.
    PresenceProbe(const RunSettings &settings, const QString &path, const QString &device,
                  QObject *parent = nullptr);
    ~PresenceProbe() override;

    void start();

signals:
    void left();

private:
    void open();
    void tick();
    void gone();
    void check();
    bool vanished() const;

    const RunSettings settings;
    const QString path;
    const QString device;
    QSerialPort port;
    ResetCommand command;
    QTimer ticker;
    QElapsedTimer silence; // since the last byte heard
    bool resetting = false;
    bool over = false;
};
