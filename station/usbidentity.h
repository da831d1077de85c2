#pragma once

#include "doctor/sysroot.h"

#include <QString>

// Who a board on a port is, as far as the system knows: a USB serial chip's vendor and product
// ids and serial number, and where it is plugged in (a /dev/serial/by-path name, or the USB
// device's sysfs folder). Empty fields where the system knows nothing, as for a pseudo-terminal.
// Read the doctor's way, so that a fake system tree stands in for the machine's.
struct UsbIdentity {
    QString vendorId;  // four hex digits
    QString productId; // four hex digits
    QString serial;
    QString location;

    static UsbIdentity of(const QString &port, const SysRoot &root = SysRoot());
};
