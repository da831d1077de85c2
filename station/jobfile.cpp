#include "station/jobfile.h"

#include "records/numberpools.h"
#include "records/storeurl.h"
#include "station/runplan.h"
#include "station/runvalues.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>

#include <functional>

namespace
{

const QString JobSection = QStringLiteral("job");
const QString SerialSection = QStringLiteral("serial");
const QStringList JobKeys =
    QStringList{"version",    "image", "station-id", "reset", "reset-cmd", "attempts",
                "gone-after", "log",   "locked",     "baud",  "db"} +
    ImageSpec::keys() + ScanRules::keys() + QStringList{"operator", "lot"};
const QStringList SlotKeys{"port", "label", "code"};
const QStringList SerialKeys{"at",  "format", "prefix",   "start",      "step",
                             "end", "list",   "crc32-at", "crc32-range"};
// [serial.NAME]: a pool of its own, with the keys of [serial].
const QRegularExpression NamedPool("^serial\\.([a-z][a-z0-9_-]{0,31})$");
// A job file is a few dozen lines; anything much larger is not one.
constexpr qint64 MaxJobBytes = 1 << 20;

struct Entry {
    QString value;
    int line = 0;
};

struct Section {
    QString name;
    int line = 0;
    QMap<QString, Entry> entries;
};

class Reader
{
public:
    explicit Reader(const QString &path) : path(path), folder(QFileInfo(path).absoluteDir()) {}

    std::optional<Job> read();
    QString error() const { return problem; }

private:
    bool parse(const QByteArray &text);
    bool readJob(const Section &section, Job *job);
    bool readPools(const QVector<const Section *> &pools, Job *job);
    bool readSlots(const QMap<int, const Section *> &numbered, Job *job);
    bool fail(int line, const QString &what);
    std::optional<Job> refuse(const QString &message);
    bool fail(const Section &section, const QString &key, const QString &what);
    QString absolute(const QString &file) const;

    const QString path;
    const QDir folder;
    QVector<Section> sections;
    QString problem;
};

std::optional<Job> Reader::read()
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return refuse(QString("cannot read the job %1: %2").arg(path, file.errorString()));
    if (file.size() > MaxJobBytes)
        return refuse(QString("%1 is no job file: %2 bytes").arg(path).arg(file.size()));
    if (!parse(file.readAll()))
        return std::nullopt;

    Job job;
    job.path = QFileInfo(path).absoluteFilePath();
    job.settings.station = true;
    job.settings.job = job.path;
    const Section *jobSection = nullptr;
    QMap<int, const Section *> numbered;
    int serialLine = 0;
    QVector<const Section *> pools;
    static const QRegularExpression slotName("^slot\\.([1-9][0-9]{0,2})$");
    for (const Section &section : qAsConst(sections)) {
        const QRegularExpressionMatch slot = slotName.match(section.name);
        if (section.name == JobSection) {
            jobSection = &section;
        } else if (slot.hasMatch() && slot.captured(1).toInt() <= RunValues::MaxTargets) {
            numbered.insert(slot.captured(1).toInt(), &section);
        } else if (NamedPool.match(section.name).hasMatch()) {
            pools << &section;
        } else if (section.name == SerialSection) {
            serialLine = section.line;
            for (auto it = section.entries.begin(); it != section.entries.end(); ++it)
                job.serialFields.insert(it.key(), it.value().value);
        } else {
            fail(
                section.line,
                slot.hasMatch()
                    ? QString("[%1]: at most %2 slots").arg(section.name).arg(RunValues::MaxTargets)
                    : QString("unknown section [%1]").arg(section.name));
            return std::nullopt;
        }
    }
    if (!jobSection)
        return refuse(QString("%1: no [job] section").arg(path));
    if (!readJob(*jobSection, &job) || !readSlots(numbered, &job))
        return std::nullopt;
    if (!job.serialFields.isEmpty()) {
        QString wrong;
        job.settings.serial = SerialScheme::fromFields(job.serialFields, folder.path(), &wrong);
        if (!job.settings.serial) {
            fail(serialLine, "[serial]: " + wrong);
            return std::nullopt;
        }
    }
    if (!readPools(pools, &job))
        return std::nullopt;
    return job;
}

bool Reader::parse(const QByteArray &text)
{
    static const QRegularExpression header("^\\[([^\\]]*)\\]$");
    static const QRegularExpression pair("^([A-Za-z0-9.-]+)\\s*=\\s*(.*)$");
    const QList<QByteArray> lines = text.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        const int number = i + 1;
        const QString line = QString::fromUtf8(lines[i]).trimmed();
        if (line.isEmpty() || line.startsWith('#') || line.startsWith(';'))
            continue;
        const QRegularExpressionMatch section = header.match(line);
        if (section.hasMatch()) {
            const QString name = section.captured(1).trimmed();
            for (const Section &seen : qAsConst(sections))
                if (seen.name == name)
                    return fail(
                        number,
                        QString("[%1] appears twice, first on line %2").arg(name).arg(seen.line));
            sections.append({name, number, {}});
            continue;
        }
        const QRegularExpressionMatch entry = pair.match(line);
        if (!entry.hasMatch())
            return fail(number, QString("'%1' is neither [section] nor key = value").arg(line));
        if (sections.isEmpty())
            return fail(number, QString("%1 comes before any [section]").arg(entry.captured(1)));
        Section &current = sections.last();
        const QString key = entry.captured(1);
        const bool serial =
            current.name == SerialSection || NamedPool.match(current.name).hasMatch();
        const QStringList &known = current.name == JobSection ? JobKeys
                                   : serial                   ? SerialKeys
                                                              : SlotKeys;
        if (!known.contains(key))
            return fail(number, QString("[%1] %2: unknown key; known are %3")
                                    .arg(current.name, key, known.join(", ")));
        if (current.entries.contains(key))
            return fail(number, QString("[%1] %2 is set twice, first on line %3")
                                    .arg(current.name, key)
                                    .arg(current.entries[key].line));
        QString value = entry.captured(2);
        if (value.size() >= 2 && value.startsWith('"') && value.endsWith('"'))
            value = value.mid(1, value.size() - 2);
        current.entries.insert(key, {value, number});
    }
    return true;
}

bool Reader::readPools(const QVector<const Section *> &pools, Job *job)
{
    for (const Section *section : pools) {
        QMap<QString, QString> fields;
        for (auto it = section->entries.begin(); it != section->entries.end(); ++it)
            fields.insert(it.key(), it.value().value);
        QString wrong;
        const std::optional<SerialScheme> scheme = SerialScheme::fromFields(
            fields, folder.path(), &wrong, NamedPool.match(section->name).captured(1));
        if (!scheme)
            return fail(section->line, QString("[%1]: %2").arg(section->name, wrong));
        job->settings.pools << *scheme;
        QString clash;
        if (!NumberPools(job->settings.serial, job->settings.pools).check(&clash))
            return fail(section->line, QString("[%1]: %2").arg(section->name, clash));
    }
    return true;
}

bool Reader::readJob(const Section &section, Job *job)
{
    const auto &entries = section.entries;
    for (auto it = entries.begin(); it != entries.end(); ++it)
        if (it.value().value.isEmpty() && it.key() != "reset-cmd")
            return fail(section, it.key(), "has no value");

    if (!entries.contains("version"))
        return fail(section.line, "[job] version is missing");
    const QString versionText = entries["version"].value;
    const int version = versionText.toInt();
    if (!QRegularExpression("^[0-9]{1,6}$").match(versionText).hasMatch() || version < 1)
        return fail(section, "version",
                    QString("'%1' is not a whole number from 1").arg(versionText));
    if (version > Job::Version)
        return fail(section, "version",
                    QString("%1 is newer than this program reads (%2): update it")
                        .arg(version)
                        .arg(Job::Version));
    job->version = version;

    if (!entries.contains("image"))
        return fail(section.line, "[job] image is missing");
    job->image = absolute(entries["image"].value);
    job->stationId = entries.value("station-id").value;
    if (entries.contains("log"))
        job->log = absolute(entries["log"].value);
    if (entries.contains("db")) {
        // Checked as the run will check it; a relative SQLite path is the job's, wherever the
        // job is started from, so that every start of it reaches one store.
        static const QString Sqlite = QStringLiteral("sqlite:");
        const QString db = entries["db"].value;
        job->db = db.startsWith(Sqlite) && db.size() > Sqlite.size()
                      ? Sqlite + absolute(db.mid(Sqlite.size()))
                      : db;
        QString wrong;
        if (!StoreUrl::parse(job->db, &wrong))
            return fail(section, "db", wrong);
    }

    RunSettings &settings = job->settings;
    // Each check names the key as written, and its wording is the command line's.
    using Check = std::function<bool(const QString &, QString *)>;
    QMap<QString, Check> checks{
        {"baud", [&](const QString &v,
                     QString *e) { return RunValues::baud("baud", v, &settings.baud, e); }},
        {"attempts",
         [&](const QString &v, QString *e) {
             return RunValues::attempts("attempts", v, &settings.attempts, e);
         }},
        {"gone-after",
         [&](const QString &v, QString *e) {
             return RunValues::goneAfter("gone-after", v, &settings.goneAfterMs, e);
         }},
        {"reset",
         [&](const QString &v, QString *e) { return RunValues::reset(v, &settings.reset, e); }},
        {"reset-cmd",
         [&](const QString &v, QString *e) {
             return RunValues::resetCommand("reset-cmd", v, &settings.resetCommand, e);
         }},
        {"locked",
         [&](const QString &v, QString *e) {
             static const QStringList yes{"true", "yes", "on", "1"}, no{"false", "no", "off", "0"};
             job->locked = yes.contains(v.toLower());
             if (yes.contains(v.toLower()) || no.contains(v.toLower()))
                 return true;
             *e = QString("'%1' is neither true nor false").arg(v);
             return false;
         }},
    };
    for (const QString &key : ImageSpec::keys())
        checks.insert(key, [&settings, key](const QString &v, QString *e) {
            return settings.imageSpec.set(key, key, v, e);
        });
    for (const QString &key : ScanRules::keys())
        checks.insert(key, [&settings, key](const QString &v, QString *e) {
            return settings.scan.set(key, v, e);
        });
    for (const OperatorLot::Field field : OperatorLot::fields())
        checks.insert(OperatorLot::key(field), [job, field](const QString &v, QString *e) {
            return job->operatorLot.setFromJob(field, v, e);
        });
    for (auto it = checks.begin(); it != checks.end(); ++it) {
        QString wrong;
        if (entries.contains(it.key()) && !it.value()(entries[it.key()].value, &wrong))
            return fail(section, it.key(), wrong);
    }
    job->resetText = entries.value("reset").value;
    QString clash;
    if (!RunValues::combination(settings, QString(), &clash) || !settings.scan.combination(&clash))
        return fail(section.line, "[job] " + clash);
    return true;
}

bool Reader::readSlots(const QMap<int, const Section *> &numbered, Job *job)
{
    if (numbered.isEmpty())
        return fail(0, "no slot: a [slot.1] section with a port");
    int expected = 1;
    for (auto it = numbered.begin(); it != numbered.end(); ++it, ++expected) {
        const Section &section = *it.value();
        // Slot N is the log's slot N: a gap would shift every slot after it.
        if (it.key() != expected)
            return fail(section.line,
                        QString("[%1] follows slot %2: slots are numbered without a gap")
                            .arg(section.name)
                            .arg(expected - 1));
        if (!section.entries.contains("port") || section.entries["port"].value.isEmpty())
            return fail(section.line, QString("[%1] port is missing").arg(section.name));
        const QString code = section.entries.value("code").value;
        // A position code is told from a label by what it is: it can be neither of them twice.
        const int first = code.isEmpty() ? -1 : job->settings.scan.codes.indexOf(code);
        if (first >= 0)
            return fail(section, "code",
                        QString("%1 is slot %2's already").arg(code).arg(first + 1));
        if (!code.isEmpty() && job->settings.scan.fits(code) &&
            !job->settings.scan.pattern.pattern().isEmpty())
            return fail(section, "code",
                        QString("%1 matches scan-pattern: it would read as a label").arg(code));
        job->slotList.append(
            {section.entries["port"].value, section.entries.value("label").value, code});
        job->settings.scan.codes << code;
    }
    Targets targets;
    QString twice;
    int named = 0;
    if (!RunPlan::targetsOf(job->targets(), true, &targets, &twice, &named))
        return fail(*numbered.value(named + 1), "port", twice);
    return true;
}

std::optional<Job> Reader::refuse(const QString &message)
{
    problem = message;
    return std::nullopt;
}

bool Reader::fail(int line, const QString &what)
{
    problem = line > 0 ? QString("%1:%2: %3").arg(path).arg(line).arg(what)
                       : QString("%1: %2").arg(path, what);
    return false;
}

bool Reader::fail(const Section &section, const QString &key, const QString &what)
{
    const QString said = what.startsWith(key + ' ') ? what.mid(key.size() + 1) : what;
    return fail(section.entries[key].line, QString("[%1] %2: %3").arg(section.name, key, said));
}

QString Reader::absolute(const QString &file) const
{
    return QDir::cleanPath(folder.absoluteFilePath(file));
}

} // namespace

std::optional<Job> JobFile::load(const QString &path, QString *error)
{
    Reader reader(path);
    const std::optional<Job> job = reader.read();
    if (!job)
        *error = reader.error();
    return job;
}
