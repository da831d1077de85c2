#include "station/usbidentity.h"

#include "doctor/stablenames.h"
#include "doctor/sysfsusb.h"

#include <QFileInfo>

namespace
{
const QLatin1String ByPath("/dev/serial/by-path");
} // namespace

UsbIdentity UsbIdentity::of(const QString &port, const SysRoot &root)
{
    UsbIdentity identity;
    const std::optional<QString> device = root.resolve(port); // e.g. /dev/ttyUSB0
    if (!device || !root.exists(*device))
        return identity;
    const SysfsUsb usb = SysfsUsb::of(root, QFileInfo(*device).fileName());
    identity.vendorId = usb.vendorId;
    identity.productId = usb.productId;
    identity.serial = usb.serial;
    identity.location = usb.usbDevice;
    // The slot's own by-path name says where the board is better than any other of its names.
    const QString byPath =
        QFileInfo(port).path() == ByPath ? port : StableNames(root).byPath(*device);
    if (!byPath.isEmpty())
        identity.location = byPath;
    return identity;
}
