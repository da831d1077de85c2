#include "cli/portlist.h"

#include "doctor/stablenames.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSerialPortInfo>
#include <QStringList>

namespace
{
QString hex4(quint16 value)
{
    return QString("%1").arg(value, 4, 16, QChar('0'));
}
} // namespace

QByteArray PortList::lines(bool json)
{
    QByteArray text;
    const auto ports = QSerialPortInfo::availablePorts();
    const StableNames names{SysRoot()};
    for (const QSerialPortInfo &info : ports) {
        const QString vid = info.hasVendorIdentifier() ? hex4(info.vendorIdentifier()) : "";
        const QString pid = info.hasProductIdentifier() ? hex4(info.productIdentifier()) : "";
        const QString byPath = names.byPath(info.systemLocation());
        if (json) {
            const QJsonObject object{
                {"port", info.portName()},
                {"path", info.systemLocation()},
                {"description", info.description()},
                {"manufacturer", info.manufacturer()},
                {"serial", info.serialNumber()},
                {"vid", vid},
                {"pid", pid},
                {"by_path", byPath.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(byPath)}};
            text += QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
        } else {
            text += QStringList{info.systemLocation(),
                                info.description(),
                                info.manufacturer(),
                                info.serialNumber(),
                                vid.isEmpty() ? QString() : vid + ":" + pid,
                                byPath}
                        .join('\t')
                        .toLocal8Bit() +
                    '\n';
        }
    }
    return text;
}
