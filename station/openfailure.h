#pragma once

#include <QSerialPort>
#include <QString>

// Why a port would not open, in words that say what to do: the group to join, the program that
// holds it, or that there is no such device.
QString describeOpenFailure(const QString &path, QSerialPort::SerialPortError error,
                            const QString &errorText);
// The same for a failed open(2), from its errno.
QString describeOpenFailure(const QString &path, int error);
