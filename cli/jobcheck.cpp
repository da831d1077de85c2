#include "cli/jobcheck.h"

#include "download/units.h"
#include "station/imagesummary.h"
#include "station/portclaims.h"

#include <QFileInfo>

namespace
{
QString row(const QString &name, const QString &value)
{
    return QString("%1  %2\n").arg(name, -9).arg(value);
}

QString matches(const Target &target)
{
    const QStringList paths = PortClaims::matching(target.path);
    if (paths.isEmpty())
        return QStringLiteral("now: nothing (no board)");
    QStringList named;
    for (const QString &path : paths) {
        const QString device = QFileInfo(path).canonicalFilePath();
        named << (device.isEmpty() || device == path ? path : path + " -> " + device);
    }
    return "now: " + named.join(", ");
}
} // namespace

namespace JobCheck
{

QString text(const Job &job, const Targets &targets, const RunSettings &settings,
             const QString &logPath)
{
    QString text = row("job", QString("%1 (version %2%3)")
                                  .arg(job.path)
                                  .arg(job.version)
                                  .arg(job.locked ? ", locked" : ""));
    for (const ImageSummary::Row &line : ImageSummary::rows(settings.image, settings.serial))
        text += row(line.name, line.value);
    if (!job.stationId.isEmpty())
        text += row("station", job.stationId);
    // The job's labels belong to its slots; slots from the command line have none.
    const bool ownSlots =
        targets.size() == job.slotList.size() &&
        std::equal(targets.begin(), targets.end(), job.slotList.begin(),
                   [](const Target &t, const JobSlot &s) { return t.given == s.port; });
    for (int i = 0; i < targets.size(); ++i) {
        const QString label = ownSlots ? job.slotList[i].label : QString();
        text += row(QString("slot %1").arg(i + 1),
                    (label.isEmpty() ? QString() : label + ": ") + targets[i].given);
        text += row("", matches(targets[i]));
    }
    QString reset = QStringLiteral("none");
    if (settings.reset)
        reset = "lines " + job.resetText;
    else if (!settings.resetCommand.isEmpty())
        reset = "command " + settings.resetCommand;
    text += row("reset", reset);
    text += row("attempts", QString::number(settings.attempts));
    text += row("gone",
                QString("after %1 s of silence").arg(settings.goneAfterMs / double(MsPerSecond)));
    text += row("baud", QString::number(settings.baud));
    text += row("log", logPath.isEmpty() ? QStringLiteral("none") : logPath);
    return text;
}

} // namespace JobCheck
