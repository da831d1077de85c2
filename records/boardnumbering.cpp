#include "records/boardnumbering.h"

#include <QtGlobal>

#include <algorithm>

BoardNumbering::BoardNumbering(Recorder *recorder, const Image &base)
    : recorder(recorder && !recorder->pools().isEmpty() ? recorder : nullptr), base(base)
{
}

bool BoardNumbering::complete() const
{
    return recorder && held.size() == recorder->pools().all().size();
}

void BoardNumbering::patch()
{
    QMap<QString, SerialValue> values;
    for (auto it = held.cbegin(); it != held.cend(); ++it)
        values.insert(it.key(), it->value);
    numbered = Image::fromBytes(recorder->pools().patched(base.bytes, values), base.path);
}

Reserved BoardNumbering::take(QString *error)
{
    if (!recorder)
        return Reserved::NoScheme;
    exhausted.clear();
    bool changed = false;
    for (const SerialScheme &scheme : recorder->pools().all()) {
        if (held.contains(scheme.name()))
            continue;
        SerialValue value;
        const Reserved reserved = recorder->reserve(scheme.name(), &value, error);
        if (reserved == Reserved::Exhausted)
            exhausted = scheme.name();
        if (reserved != Reserved::Ok)
            return reserved;
        held.insert(scheme.name(), {value, false});
        changed = true;
    }
    if (changed) {
        patch();
        out = false;
    }
    return Reserved::Ok;
}

bool BoardNumbering::adopt(const QMap<QString, SerialValue> &earlier)
{
    if (!recorder || out)
        return false;
    for (auto it = earlier.cbegin(); it != earlier.cend(); ++it) {
        if (!recorder->pools().find(it.key()))
            continue;
        if (held.contains(it.key()) && !held[it.key()].adopted) {
            QString error;
            if (!recorder->giveBack(it.key(), held[it.key()].value, &error))
                qWarning("%s", qPrintable(error));
        }
        held.insert(it.key(), {it.value(), true});
    }
    if (complete())
        patch();
    return true;
}

QString BoardNumbering::text() const
{
    return texts().value(SerialScheme::SerialPool);
}

QMap<QString, QString> BoardNumbering::texts() const
{
    QMap<QString, QString> made;
    for (auto it = held.cbegin(); it != held.cend(); ++it)
        made.insert(it.key(), recorder->pools().find(it.key())->text(it->value));
    return made;
}

bool BoardNumbering::adopted() const
{
    return std::any_of(held.cbegin(), held.cend(),
                       [](const Held &number) { return number.adopted; });
}

QString BoardNumbering::lastText() const
{
    const SerialScheme *scheme = recorder ? recorder->pools().find(exhausted) : nullptr;
    return scheme ? scheme->lastText() : QString();
}

void BoardNumbering::goesOut()
{
    if (!complete() || out)
        return;
    out = true;
    for (auto it = held.cbegin(); it != held.cend(); ++it) {
        QString error;
        if (!it->adopted && !recorder->wentOut(it.key(), it->value, &error))
            qWarning("%s", qPrintable(error));
    }
}

QVector<BoardRecord::Number> BoardNumbering::settle(bool done, qint64 acceptedBytes)
{
    QVector<BoardRecord::Number> settled;
    if (!recorder)
        return settled;
    for (const SerialScheme &scheme : recorder->pools().all()) {
        if (!held.contains(scheme.name()))
            continue;
        const Held &number = held[scheme.name()];
        settled << BoardRecord::Number{scheme.name(), recorder->poolOf(scheme.name()),
                                       number.value.index, scheme.text(number.value),
                                       number.adopted
                                           ? BoardRecord::Fate::Kept
                                           : fateOf(done, acceptedBytes, scheme.offset())};
    }
    held.clear();
    out = false;
    return settled;
}

void BoardNumbering::giveBack()
{
    for (auto it = held.cbegin(); it != held.cend(); ++it) {
        QString error;
        if (!it->adopted && !recorder->giveBack(it.key(), it->value, &error))
            qWarning("%s", qPrintable(error));
    }
    held.clear();
    out = false;
}

BoardRecord::Fate BoardNumbering::fateOf(bool done, qint64 acceptedBytes, qint64 fieldOffset)
{
    if (done)
        return BoardRecord::Fate::Used;
    return acceptedBytes > fieldOffset ? BoardRecord::Fate::Voided : BoardRecord::Fate::Returned;
}
