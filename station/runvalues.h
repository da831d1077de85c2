#pragma once

#include "station/runsettings.h"

#include <QString>

// The values a run's settings take, checked the same way wherever they are written: on the
// command line and in a job file. Each check names the setting as the caller spells it
// ("--attempts", "attempts") and returns what is wrong, or an empty string.
namespace RunValues
{
constexpr int MaxTargets = 64;
constexpr int MaxAttempts = 100;

QString baud(const QString &name, const QString &text, int *value);
QString wait(const QString &name, const QString &text, int *ms);
QString goneAfter(const QString &name, const QString &text, int *ms);
QString attempts(const QString &name, const QString &text, int *value);
QString reset(const QString &text, std::optional<ResetSequence> *value);
QString resetCommand(const QString &name, const QString &text, QString *value);
// What the settings ask that cannot go together; `dash` goes before each setting's name.
QString combination(const RunSettings &settings, const QString &dash);

bool isPattern(const QString &path);
} // namespace RunValues
