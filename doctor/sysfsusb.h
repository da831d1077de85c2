#pragma once

#include "doctor/sysroot.h"

#include <QString>

// What sysfs tells about a tty: its driver, the USB device it belongs to, and the latency timer
// of adapters that have one (FTDI's). Empty fields where there is none, as for a pseudo-terminal.
struct SysfsUsb {
    QString sysfs;      // the tty's device folder, e.g. /sys/devices/.../1-1:1.0/ttyUSB0
    QString usbDevice;  // the USB device's folder above it, e.g. /sys/devices/.../usb1/1-1
    QString driver;     // ftdi_sio, cp210x, cdc_acm ...
    QString devNumbers; // "188:0", the key of the udev database
    QString vendorId;   // four hex digits
    QString productId;  // four hex digits
    QString serial;
    QString manufacturer;
    QString product;
    QString latencyPath;
    int latencyMs = -1; // -1 without a latency timer

    bool isUsb() const { return !vendorId.isEmpty(); }

    // tty: the node's name under /dev, e.g. ttyUSB0.
    static SysfsUsb of(const SysRoot &root, const QString &tty);
};
