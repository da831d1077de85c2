#include "station/jobsummary.h"

#include "download/units.h"
#include "station/portclaims.h"

#include <QFileInfo>

namespace
{
constexpr int NameWidth = 9;

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

QString resetText(const RunPlan &plan)
{
    const RunSettings &settings = plan.settings;
    if (settings.reset)
        return "lines " + (plan.job ? plan.job->resetText : QString());
    if (!settings.resetCommand.isEmpty())
        return "command " + settings.resetCommand;
    return QStringLiteral("none");
}
} // namespace

namespace JobSummary
{

QVector<Row> rows(const RunPlan &plan, const Image &image, const StationRun::Look &look)
{
    QVector<Row> rows;
    if (plan.job)
        rows << Row{"job", QString("%1 (version %2%3)")
                               .arg(plan.job->path)
                               .arg(plan.job->version)
                               .arg(plan.job->locked ? ", locked" : "")};
    rows << ImageSummary::rows(image, plan.settings.serial);
    if (!plan.stationId.isEmpty())
        rows << Row{"station", plan.stationId};
    for (const OperatorLot::Field field : OperatorLot::fields()) {
        const QString value = plan.operatorLot.value(field);
        if (!value.isEmpty() || plan.operatorLot.asks(field))
            rows << Row{OperatorLot::key(field), value.isEmpty() ? "asked at the start" : value};
    }
    // The job's labels belong to its slots; slots from the command line have none.
    const bool ownSlots =
        plan.job && plan.targets.size() == plan.job->slotList.size() &&
        std::equal(plan.targets.begin(), plan.targets.end(), plan.job->slotList.begin(),
                   [](const Target &t, const JobSlot &s) { return t.given == s.port; });
    for (int i = 0; i < plan.targets.size(); ++i) {
        const QString label = ownSlots ? plan.job->slotList[i].label : QString();
        rows << Row{QString("slot %1").arg(i + 1),
                    (label.isEmpty() ? QString() : label + ": ") + plan.targets[i].given}
             << Row{"", matches(plan.targets[i])};
    }
    rows << Row{"reset", resetText(plan)}
         << Row{"attempts", QString::number(plan.settings.attempts)}
         << Row{"gone", QString("after %1 s of silence")
                            .arg(plan.settings.goneAfterMs / double(MsPerSecond))}
         << Row{"baud", QString::number(plan.settings.baud)}
         << Row{"log", plan.log.isEmpty() ? QStringLiteral("none") : plan.log};
    if (const std::optional<SerialScheme> &scheme = plan.settings.serial) {
        rows << Row{"numbers", scheme->describe()};
        if (look.store && !look.store->exhausted) {
            const SerialValue next = scheme->valueAt(look.store->nextIndex);
            const QByteArray field =
                scheme->patched(image.bytes, next).mid(scheme->offset(), scheme->width());
            rows << Row{"next", QString("%1, bytes %2")
                                    .arg(scheme->text(next),
                                         QString::fromLatin1(field.toHex(' ').toUpper()))};
        } else if (look.store) {
            rows << Row{
                "next",
                QString("none: the numbers have run out (last %1)").arg(scheme->lastText())};
        }
    }
    for (int i = 0; i < plan.settings.pools.size(); ++i) {
        const SerialScheme &pool = plan.settings.pools[i];
        rows << Row{"pool " + pool.name(), pool.describe()};
        if (!look.store)
            continue;
        const StoreLook::Pool &seen = look.store->named.value(i);
        rows << Row{"next",
                    seen.exhausted
                        ? QString("none: no numbers left in pool %1 (last %2)")
                              .arg(pool.name(), pool.lastText())
                        : QString("%1, bytes %2")
                              .arg(seen.next, QString::fromLatin1(
                                                  pool.withField(image.bytes,
                                                                 pool.valueAt(seen.nextIndex))
                                                      .mid(pool.offset(), pool.width())
                                                      .toHex(' ')
                                                      .toUpper()))};
    }
    if (look.url)
        rows << Row{"store", store(look, plan.settings.serial.has_value())};
    return rows;
}

QString store(const StationRun::Look &look, bool numbered)
{
    const QString address = look.url->display();
    if (!look.store)
        return QString("%1: out of reach: %2").arg(address, look.error);
    const StoreLook &store = *look.store;
    if (!store.created)
        return address + ": not created yet; the first run makes it";
    QString text =
        QString("%1: reachable, schema version %2").arg(address).arg(store.schemaVersion);
    if (numbered)
        text += QString("; numbers: %1 reserved, %2 used, %3 given back, %4 voided")
                    .arg(store.reserved)
                    .arg(store.used)
                    .arg(store.returned)
                    .arg(store.voided);
    return text;
}
QString text(const QVector<Row> &rows)
{
    QString text;
    for (const Row &row : rows)
        text += QString("%1  %2\n").arg(row.name, -NameWidth).arg(row.value);
    return text;
}

} // namespace JobSummary
