#include "doctor/sysfsusb.h"

#include <QFileInfo>

namespace
{
constexpr int MaxLevels = 6; // from the tty's device up to its USB device
} // namespace

SysfsUsb SysfsUsb::of(const SysRoot &root, const QString &tty)
{
    SysfsUsb usb;
    const QString classEntry = "/sys/class/tty/" + tty;
    usb.devNumbers = root.firstLine(classEntry + "/dev");
    const SysRoot::Resolved device = root.resolve(classEntry + "/device");
    if (!device.error.isEmpty() || !root.exists(device.path))
        return usb;
    usb.sysfs = device.path;
    const SysRoot::Resolved driver = root.resolve(device.path + "/driver");
    if (driver.error.isEmpty() && root.exists(driver.path))
        usb.driver = QFileInfo(driver.path).fileName();
    if (root.exists(device.path + "/latency_timer")) {
        usb.latencyPath = device.path + "/latency_timer";
        bool ok = false;
        const int value = root.firstLine(usb.latencyPath).toInt(&ok);
        usb.latencyMs = ok ? value : -1;
    }
    QString dir = device.path;
    for (int level = 0; dir.startsWith("/sys/") && level < MaxLevels; ++level) {
        if (root.exists(dir + "/idVendor")) {
            usb.vendorId = root.firstLine(dir + "/idVendor");
            usb.productId = root.firstLine(dir + "/idProduct");
            usb.serial = root.firstLine(dir + "/serial");
            usb.manufacturer = root.firstLine(dir + "/manufacturer");
            usb.product = root.firstLine(dir + "/product");
            break;
        }
        dir = QFileInfo(dir).path();
    }
    return usb;
}
