#pragma once

#include <QSerialPort>

// The engine's serial port. It adds nothing to QSerialPort: its own class keeps the engine's
// port distinct in the object tree and in the debugger.
class mySerial : public QSerialPort
{
public:
    mySerial() = default;
    ~mySerial() override;
};
