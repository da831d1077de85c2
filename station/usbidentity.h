#pragma once

#include <QString>

// Who a board on a port is, as far as the system knows: a USB serial chip's vendor and product
// ids and serial number, and where it is plugged in (a /dev/serial/by-path name, or the device's
// sysfs path). Empty fields where the system knows nothing, as for a pseudo-terminal.
struct UsbIdentity {
    QString vendorId;  // four hex digits
    QString productId; // four hex digits
    QString serial;
    QString location;

    static UsbIdentity of(const QString &port);
};
