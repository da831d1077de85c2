#pragma once

#include <QList>
#include <QMutex>

// Makes every serial port look like a USB adapter's to the code under test: the serial-settings
// requests (low-latency mode) and the modem-line requests (DTR, RTS), which pseudo-terminals
// refuse, are answered here and recorded. Off, every request goes to the real driver. Linked
// into the tests that use it, where it stands in for the C library's ioctl().
class FakeAdapter
{
public:
    struct LineChange {
        qint64 atMs; // since the adapter was switched on
        bool dtr;    // the line changed: DTR, else RTS
        bool asserted;
    };

    static void switchOn(int serialFlags = 0);
    static void switchOff();
    static bool isOn();
    static int serialFlags();
    static QList<LineChange> lineChanges();
};
