#include "station/resetsequence.h"

#include <QRegularExpression>
#include <QThread>

#include <cerrno>
#include <cstring>

#include <sys/ioctl.h>

namespace
{

struct Preset {
    const char *name;
    const char *steps;
};

// Asserted lines are electrically low on most adapters, which is what pulls a reset or boot pin.
const Preset Presets[] = {
    // RESET wired to DTR, directly or through a capacitor: one pulse.
    {"dtr-pulse", "D1,W100,D0"},
    // RESET wired to RTS: one pulse.
    {"rts-pulse", "R1,W100,R0"},
    // RTS to RESET and DTR to the boot pin, directly or through the usual pair of transistors:
    // reset, then release it while the boot pin is held, then let the boot pin go.
    {"boot-reset", "D0,R1,W100,D1,R0,W50,D0"},
};

} // namespace

std::optional<ResetSequence> ResetSequence::parse(const QString &text, QString *error)
{
    QString steps = text.trimmed();
    for (const Preset &preset : Presets)
        if (steps == QLatin1String(preset.name))
            steps = QLatin1String(preset.steps);

    ResetSequence sequence;
    static const QRegularExpression stepPattern("^([DRW])([0-9]{1,5})$",
                                                QRegularExpression::CaseInsensitiveOption);
    for (const QString &word : steps.split(',')) {
        const QRegularExpressionMatch match = stepPattern.match(word.trimmed());
        const QChar kind = match.hasMatch() ? match.captured(1).at(0).toUpper() : QChar();
        const int value = match.captured(2).toInt();
        if (!match.hasMatch() || (kind != 'W' && value > 1) || (kind == 'W' && value > MaxWaitMs)) {
            *error = QString("reset step '%1' is none of D0, D1, R0, R1 or W<ms> up to W%2; "
                             "or use a preset: %3")
                         .arg(word.trimmed())
                         .arg(MaxWaitMs)
                         .arg(presetNames().join(", "));
            return std::nullopt;
        }
        sequence.m_steps.append({kind == 'D'   ? Step::Kind::Dtr
                                 : kind == 'R' ? Step::Kind::Rts
                                               : Step::Kind::Wait,
                                 value});
    }
    int waited = 0;
    for (const Step &step : sequence.m_steps)
        waited += step.kind == Step::Kind::Wait ? step.value : 0;
    // The steps block their board's thread, which a stop has to wait for.
    if (sequence.m_steps.size() > MaxSteps || waited > MaxWaitMs) {
        *error = QString("a reset sequence has at most %1 steps and waits %2 ms in all")
                     .arg(MaxSteps)
                     .arg(MaxWaitMs);
        return std::nullopt;
    }
    return sequence;
}

QStringList ResetSequence::presetNames()
{
    QStringList names;
    for (const Preset &preset : Presets)
        names << QLatin1String(preset.name);
    return names;
}

bool ResetSequence::run(int fd, QString *error) const
{
    for (const Step &step : m_steps) {
        if (step.kind == Step::Kind::Wait) {
            QThread::msleep(ulong(step.value));
            continue;
        }
        const int line = step.kind == Step::Kind::Dtr ? TIOCM_DTR : TIOCM_RTS;
        if (::ioctl(fd, step.value ? TIOCMBIS : TIOCMBIC, &line) != 0) {
            *error = QString("cannot drive %1: %2")
                         .arg(step.kind == Step::Kind::Dtr ? "DTR" : "RTS",
                              QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
    }
    return true;
}

bool ResetSequence::hasModemLines(int fd)
{
    int lines = 0;
    return ::ioctl(fd, TIOCMGET, &lines) == 0;
}
