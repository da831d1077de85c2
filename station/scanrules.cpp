#include "station/scanrules.h"

QStringList ScanRules::keys()
{
    return {"scan", "scan-pattern", "reflash"};
}

bool ScanRules::set(const QString &key, const QString &value, QString *error)
{
    if (key == "scan") {
        static const QStringList names{"off", "optional", "required"};
        const int at = names.indexOf(value);
        if (at < 0) {
            *error = QString("'%1' is not one of off, optional, required").arg(value);
            return false;
        }
        mode = Mode(at);
        return true;
    }
    if (key == "scan-pattern") {
        // Anchored: a label that merely contains the pattern is not one.
        patternText = value;
        pattern = QRegularExpression(QRegularExpression::anchoredPattern(value));
        if (!pattern.isValid()) {
            *error = QString("'%1' is no regular expression: %2").arg(value, pattern.errorString());
            return false;
        }
        return true;
    }
    if (value != "allow" && value != "refuse") {
        *error = QString("'%1' is neither allow nor refuse").arg(value);
        return false;
    }
    reflash = value == "allow";
    return true;
}

bool ScanRules::combination(QString *error) const
{
    // A board's numbers are settled before it starts: only a label in by then can keep them.
    if (reflash && mode != Mode::Required) {
        *error = "reflash = allow needs scan = required";
        return false;
    }
    if (!pattern.pattern().isEmpty() && mode == Mode::Off) {
        *error = "scan-pattern is set but scan is off";
        return false;
    }
    return true;
}

bool ScanRules::fits(const QString &label) const
{
    if (label.isEmpty())
        return false;
    return pattern.pattern().isEmpty() || pattern.match(label).hasMatch();
}

QString ScanRules::modeName() const
{
    switch (mode) {
    case Mode::Off:
        return "off";
    case Mode::Optional:
        return "optional";
    case Mode::Required:
        break;
    }
    return "required";
}
