#include "doctor/diagnosis.h"

#include <QJsonArray>
#include <QJsonValue>

namespace
{
QJsonValue orNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}
} // namespace

void Diagnosis::add(const Finding &finding)
{
    findings.append(finding);
    verdict = std::max(verdict, finding.severity);
}

QString Diagnosis::reason() const
{
    for (const Finding &finding : findings)
        if (!finding.reason.isEmpty())
            return finding.reason;
    return QString();
}

QJsonObject Diagnosis::toJson() const
{
    QJsonArray list;
    for (const Finding &finding : findings)
        list.append(QJsonObject{{"topic", Finding::topicName(finding.topic)},
                                {"severity", verdictName(finding.severity)},
                                {"text", finding.text},
                                {"fix", orNull(finding.fix)}});
    return QJsonObject{{"port", port},
                       {"device", orNull(device)},
                       {"verdict", verdictName(verdict)},
                       {"by_path", orNull(byPath)},
                       {"by_id", QJsonArray::fromStringList(byId)},
                       {"vid", orNull(vendorId)},
                       {"pid", orNull(productId)},
                       {"serial", orNull(serial)},
                       {"driver", orNull(driver)},
                       {"findings", list}};
}
