#include "doctor/finding.h"

QString verdictName(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Ok:
        return QStringLiteral("ok");
    case Verdict::Warning:
        return QStringLiteral("warning");
    case Verdict::Problem:
        return QStringLiteral("problem");
    }
    return QString();
}

QString Finding::topicName(Topic topic)
{
    switch (topic) {
    case Topic::Node:
        return QStringLiteral("node");
    case Topic::Names:
        return QStringLiteral("names");
    case Topic::Identity:
        return QStringLiteral("identity");
    case Topic::Access:
        return QStringLiteral("access");
    case Topic::Holders:
        return QStringLiteral("holders");
    case Topic::Exclusive:
        return QStringLiteral("exclusive");
    case Topic::Lock:
        return QStringLiteral("lock");
    case Topic::ModemManager:
        return QStringLiteral("modemmanager");
    case Topic::Brltty:
        return QStringLiteral("brltty");
    case Topic::Latency:
        return QStringLiteral("latency");
    case Topic::ModemLines:
        return QStringLiteral("modem_lines");
    }
    return QString();
}
