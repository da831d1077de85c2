#include "station/outcome.h"

QString outcomeName(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Done:
        return QStringLiteral("done");
    case Outcome::OpenFailed:
        return QStringLiteral("open_failed");
    case Outcome::DownloadError:
        return QStringLiteral("download_error");
    case Outcome::Timeout:
        return QStringLiteral("timeout");
    case Outcome::Lost:
        return QStringLiteral("lost");
    case Outcome::ResetFailed:
        return QStringLiteral("reset_failed");
    case Outcome::Stopped:
        return QStringLiteral("stopped");
    case Outcome::NoSerial:
        return QStringLiteral("no_serial");
    }
    Q_UNREACHABLE();
}
