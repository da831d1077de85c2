#pragma once

#include "station/runsettings.h"

#include <QString>

// The values a run's settings take, checked the same way wherever they are written: on the
// command line and in a job file. Each check names the setting as the caller spells it
// ("--attempts", "attempts") in its error, and leaves the value alone when it fails.
namespace RunValues
{
constexpr int MaxTargets = 64;
constexpr int MaxAttempts = 100;

bool baud(const QString &name, const QString &text, int *value, QString *error);
bool wait(const QString &name, const QString &text, int *ms, QString *error);
bool goneAfter(const QString &name, const QString &text, int *ms, QString *error);
bool attempts(const QString &name, const QString &text, int *value, QString *error);
bool reset(const QString &text, std::optional<ResetSequence> *value, QString *error);
bool resetCommand(const QString &name, const QString &text, QString *value, QString *error);
// Whether the settings ask nothing that cannot go together; `dash` goes before each setting's
// name in the error.
bool combination(const RunSettings &settings, const QString &dash, QString *error);

bool isPattern(const QString &path);
} // namespace RunValues
