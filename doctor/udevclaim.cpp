#include "doctor/udevclaim.h"

#include <QRegularExpression>
#include <QSet>

namespace
{
QString hex4(const QString &digits)
{
    bool ok = false;
    const uint value = digits.toUInt(&ok, 16);
    return ok ? QStringLiteral("%1").arg(value, 4, 16, QChar('0')) : QString();
}
} // namespace

QVector<UdevClaim> UdevClaim::of(const SysRoot &root, const QString &program)
{
    // ATTRS{idVendor}=="1a86", ATTRS{idProduct}=="7523" or the device's
    // ENV{PRODUCT}=="1a86/7523/*".
    static const QRegularExpression vendor(R"re(ATTRS?\{idVendor\}=="([0-9A-Fa-f]{1,4})")re");
    static const QRegularExpression productAttr(R"re(ATTRS?\{idProduct\}=="([0-9A-Fa-f]{1,4})")re");
    static const QRegularExpression product(
        R"re(ENV\{PRODUCT\}=="([0-9A-Fa-f]{1,4})/([0-9A-Fa-f]{1,4})/)re");
    QVector<UdevClaim> claims;
    QSet<QString> seen;
    for (const char *folder :
         {"/etc/udev/rules.d", "/run/udev/rules.d", "/lib/udev/rules.d", "/usr/lib/udev/rules.d"}) {
        for (const QString &name : root.entries(QLatin1String(folder))) {
            if (!name.endsWith(QLatin1String(".rules")) || seen.contains(name))
                continue;
            seen.insert(name);
            const QString file = QLatin1String(folder) + '/' + name;
            const QByteArray text = root.read(file, 1 << 20);
            if (!text.contains(program.toLocal8Bit()))
                continue;
            for (const QByteArray &raw : text.split('\n')) {
                const QString line = QString::fromLocal8Bit(raw).trimmed();
                if (line.startsWith('#'))
                    continue;
                const QRegularExpressionMatch byProduct = product.match(line);
                if (byProduct.hasMatch()) {
                    claims.append({hex4(byProduct.captured(1)), hex4(byProduct.captured(2)), file});
                    continue;
                }
                const QRegularExpressionMatch byVendor = vendor.match(line);
                const QRegularExpressionMatch byId = productAttr.match(line);
                if (byVendor.hasMatch() && byId.hasMatch())
                    claims.append({hex4(byVendor.captured(1)), hex4(byId.captured(1)), file});
            }
        }
    }
    return claims;
}
