#include "station/runvalues.h"

#include "download/units.h"

#include <QRegularExpression>

#include <cmath>
#include <limits>

namespace
{

constexpr int MaxWaitSeconds = 7 * 24 * 3600;

// A whole number from `least` to `most`, from digits only.
bool wholeNumber(const QString &text, int least, int most, int *value)
{
    bool ok = false;
    const int number = text.toInt(&ok, 10);
    if (!QRegularExpression("^[0-9]+$").match(text).hasMatch() || !ok || number < least ||
        number > most)
        return false;
    *value = number;
    return true;
}

// Seconds, whole or with a fraction, as milliseconds.
bool seconds(const QString &text, int *ms)
{
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (!QRegularExpression("^[0-9]+(\\.[0-9]+)?$").match(text).hasMatch() || !ok ||
        value > MaxWaitSeconds)
        return false;
    // Rounded up: a tiny wait is still a wait, not "until stopped".
    *ms = int(std::ceil(value * MsPerSecond));
    return true;
}

bool fail(const QString &text, QString *error)
{
    *error = text;
    return false;
}

} // namespace

namespace RunValues
{

bool baud(const QString &name, const QString &text, int *value, QString *error)
{
    return wholeNumber(text, 1, std::numeric_limits<int>::max(), value) ||
           fail(QString("%1 '%2' is not a positive whole number").arg(name, text), error);
}

bool wait(const QString &name, const QString &text, int *ms, QString *error)
{
    return seconds(text, ms) ||
           fail(QString("%1 '%2' is not a number of seconds").arg(name, text), error);
}

bool goneAfter(const QString &name, const QString &text, int *ms, QString *error)
{
    int value = 0;
    if (!seconds(text, &value) || value == 0)
        return fail(QString("%1 '%2' is not a positive number of seconds").arg(name, text), error);
    *ms = value;
    return true;
}

bool attempts(const QString &name, const QString &text, int *value, QString *error)
{
    return wholeNumber(text, 1, MaxAttempts, value) ||
           fail(QString("%1 '%2' is not a whole number from 1 to %3")
                    .arg(name, text)
                    .arg(MaxAttempts),
                error);
}

bool reset(const QString &text, std::optional<ResetSequence> *value, QString *error)
{
    std::optional<ResetSequence> sequence = ResetSequence::parse(text, error);
    if (!sequence)
        return false;
    *value = std::move(sequence);
    return true;
}

bool resetCommand(const QString &name, const QString &text, QString *value, QString *error)
{
    if (text.trimmed().isEmpty())
        return fail(QString("%1 needs a command").arg(name), error);
    *value = text;
    return true;
}

bool combination(const RunSettings &settings, const QString &dash, QString *error)
{
    if (settings.reset && !settings.resetCommand.isEmpty())
        return fail(QString("%1reset and %1reset-cmd exclude each other").arg(dash), error);
    if (settings.attempts > 1 && !settings.resets())
        return fail(QString("%1attempts needs %1reset or %1reset-cmd: only a reset brings the "
                            "loader back to the start")
                        .arg(dash),
                    error);
    return true;
}

bool isPattern(const QString &path)
{
    return path.contains(QRegularExpression("[*?\\[]"));
}

} // namespace RunValues
