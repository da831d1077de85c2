#pragma once

#include <QSerialPort>
#include <QString>

// Why a port would not open, in the port doctor's words where it finds the cause: the group to
// join (naming the user who runs the program), the program that holds the port, or that there is
// no such device.
QString describeOpenFailure(const QString &path, QSerialPort::SerialPortError error,
                            const QString &errorText);
// The same for a failed open(2), from its errno.
QString describeOpenFailure(const QString &path, int error);
