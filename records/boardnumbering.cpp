#include "records/boardnumbering.h"

#include <QtGlobal>

BoardNumbering::BoardNumbering(Recorder *recorder, const Image &base)
    : recorder(recorder && recorder->scheme() ? recorder : nullptr), base(base)
{
}

Reserved BoardNumbering::take(QString *error)
{
    if (!recorder)
        return Reserved::NoScheme;
    if (number)
        return Reserved::Ok;
    SerialValue value;
    const Reserved reserved = recorder->reserve(&value, error);
    if (reserved != Reserved::Ok)
        return reserved;
    const SerialScheme &scheme = *recorder->scheme();
    number = value;
    numberText = scheme.text(value);
    numbered = Image::fromBytes(scheme.patched(base.bytes, value), base.path);
    out = false;
    return reserved;
}

void BoardNumbering::adopt(const QMap<QString, SerialValue> &earlier)
{
    if (!recorder || !earlier.contains("serial"))
        return;
    if (number && !kept)
        giveBack();
    const SerialScheme &scheme = *recorder->scheme();
    number = earlier["serial"];
    numberText = scheme.text(*number);
    numbered = Image::fromBytes(scheme.patched(base.bytes, *number), base.path);
    // It went out to a board long ago: nothing is noted of it again.
    out = true;
    kept = true;
}

QString BoardNumbering::lastText() const
{
    const SerialScheme &scheme = *recorder->scheme();
    return scheme.text(scheme.valueAt(scheme.capacity() - 1));
}

void BoardNumbering::goesOut()
{
    if (!number || out)
        return;
    out = true;
    QString error;
    if (!recorder->wentOut(*number, &error))
        qWarning("%s", qPrintable(error));
}

BoardRecord::Fate BoardNumbering::settle(bool done, qint64 acceptedBytes)
{
    if (!number)
        return BoardRecord::Fate::None;
    const BoardRecord::Fate fate =
        kept ? BoardRecord::Fate::None : fateOf(done, acceptedBytes, recorder->scheme()->offset());
    kept = false;
    number.reset();
    numberText.clear();
    return fate;
}

void BoardNumbering::giveBack()
{
    if (!number)
        return;
    QString error;
    if (!kept && !recorder->giveBack(*number, &error))
        qWarning("%s", qPrintable(error));
    kept = false;
    number.reset();
    numberText.clear();
}

BoardRecord::Fate BoardNumbering::fateOf(bool done, qint64 acceptedBytes, qint64 fieldOffset)
{
    if (done)
        return BoardRecord::Fate::Used;
    return acceptedBytes > fieldOffset ? BoardRecord::Fate::Voided : BoardRecord::Fate::Returned;
}
