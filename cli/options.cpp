#include "cli/options.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QRegularExpression>

#include <cstdio>

bool Options::parse(const QStringList &arguments, QString *error)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Writes IMAGE into the loader of the device on each PORT, all at the same time.");
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption port(
        {"p", "port"}, "Serial port to download to (ttyUSB0 or a path); repeatable.", "PORT");
    const QCommandLineOption baudOption({"b", "baud"},
                                        "Rate of the first handshakes (default 115200).", "RATE");
    const QCommandLineOption jsonOption("json", "Print one JSON object per event.");
    const QCommandLineOption listOption("list", "List the serial ports and exit.");
    parser.addOptions({port, baudOption, jsonOption, listOption});
    parser.addPositionalArgument("IMAGE", "The raw program image to write.");

    if (!parser.parse(arguments)) {
        *error = parser.errorText();
        return false;
    }
    if (parser.isSet(help))
        parser.showHelp(0);
    if (parser.isSet(version))
        parser.showVersion();

    list = parser.isSet(listOption);
    json = parser.isSet(jsonOption);
    const QStringList ports = parser.values(port);
    const QStringList positional = parser.positionalArguments();
    if (list) {
        if (!ports.isEmpty() || !positional.isEmpty() || parser.isSet(baudOption)) {
            *error = "--list takes no ports, rate or image";
            return false;
        }
        return true;
    }
    if (positional.size() != 1) {
        *error = positional.isEmpty() ? "no image given" : "more than one image given";
        return false;
    }
    image = positional.first();
    if (ports.isEmpty()) {
        *error = "no port given (-p PORT)";
        return false;
    }
    if (ports.size() > MaxPorts) {
        *error = QString("at most %1 ports in one run").arg(MaxPorts);
        return false;
    }
    if (parser.isSet(baudOption)) {
        const QString text = parser.value(baudOption);
        bool ok = false;
        baud = text.toInt(&ok, 10);
        if (!QRegularExpression("^[0-9]+$").match(text).hasMatch() || !ok || baud <= 0) {
            *error = QString("rate '%1' is not a positive whole number").arg(text);
            return false;
        }
    }

    QStringList canonical;
    for (const QString &given : qAsConst(ports)) {
        const Target target = Target::fromArgument(given);
        const QFileInfo info(target.path);
        // Symbolic links such as /dev/serial/by-path/... name the same device as their target.
        const QString same = info.exists() ? info.canonicalFilePath() : info.absoluteFilePath();
        if (canonical.contains(same)) {
            *error = QString("port %1 is named twice").arg(given);
            return false;
        }
        canonical << same;
        targets << target;
    }
    return true;
}
