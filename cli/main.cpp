#include "cli/options.h"
#include "cli/reporter.h"
#include "cli/signalwatcher.h"

#include "download/dudozerdownload.h"
#include "download/imagefile.h"
#include "download/protocol.h"
#include "station/boardlog.h"
#include "station/session.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFileInfo>
#include <QLoggingCategory>

#include <csignal>
#include <cstdio>

#include <unistd.h>

namespace
{
constexpr int UsageStatus = 2;

int fail(const QString &message)
{
    std::fprintf(stderr, "lumedra-cli: %s\n", qPrintable(message));
    return UsageStatus;
}
} // namespace

// Writes one image into the loaders of many boards at once, through the window's engine.
int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("lumedra-cli");
    QCoreApplication::setApplicationVersion(LUMEDRA_VERSION);

    Options options;
    QString error;
    if (!options.parse(app.arguments(), &error))
        return fail(error + "\nTry 'lumedra-cli --help'.");
    // The engine traces its steps; unasked for, they would tear the live lines.
    if (!options.verbose)
        QLoggingCategory::setFilterRules(
            QStringLiteral("%1.debug=false").arg(engineLog().categoryName()));
    if (options.list) {
        Reporter::listPorts(options.json);
        return 0;
    }

    // Read whole and once, before any port opens: every board gets the very same bytes.
    RunSettings settings = options.settings;
    Image &image = settings.image;
    image.path = QFileInfo(options.image).absoluteFilePath(); // for the record
    switch (ImageFile::read(options.image, &image.bytes, &error)) {
    case ImageFile::Status::Ok:
        break;
    case ImageFile::Status::NotRegular:
    case ImageFile::Status::TooLarge:
        return fail(QString("%1 is %2").arg(options.image, error));
    case ImageFile::Status::CannotOpen:
    case ImageFile::Status::ReadFailed:
        return fail(QString("cannot read %1: %2").arg(options.image, error));
    }
    if (image.bytes.isEmpty())
        return fail(QString("%1 is empty").arg(options.image));
    image.checksum = quint16(byteSum(image.bytes.constData(), image.bytes.size()));
    image.sha256 = QCryptographicHash::hash(image.bytes, QCryptographicHash::Sha256).toHex();

    BoardLog log;
    if (!options.logPath.isEmpty() && !log.open(options.logPath, &error))
        return fail(error);

    // A closed pipe or terminal must not kill the run with boards half-written: writes fail
    // instead, and the reporter gives up that output. A closed terminal stops the run as
    // SIGTERM does.
    std::signal(SIGPIPE, SIG_IGN);
    SignalWatcher signalWatcher;
    if (!signalWatcher.install())
        return fail("cannot watch for stop signals");

    Reporter::Setup setup;
    setup.mode = options.json              ? Reporter::Mode::Json
                 : ::isatty(STDOUT_FILENO) ? Reporter::Mode::Terminal
                                           : Reporter::Mode::Plain;
    setup.quiet = options.quiet;
    setup.station = settings.station;
    setup.attempts = settings.attempts;
    setup.bytes = image.bytes.size();
    setup.checksum = image.checksum;
    Reporter reporter(setup, options.targets);
    Session session(options.targets, settings, options.logPath.isEmpty() ? nullptr : &log);
    QObject::connect(&session, &Session::event, &reporter, &Reporter::report);
    QObject::connect(&reporter, &Reporter::lost, &session, &Session::drain);
    QObject::connect(&session, &Session::logLost, &reporter, [&reporter](const QString &reason) {
        reporter.notice(reason + "; the boards under way finish");
    });
    QObject::connect(&signalWatcher, &SignalWatcher::caught, &session, &Session::stop);
    QObject::connect(&session, &Session::finished, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    session.start();
    app.exec();
    reporter.summary();
    // Output that a reader does not take within this long is lost, and the run ends anyway.
    constexpr int DrainMs = 5000;
    const bool written = reporter.drain(DrainMs);
    const int status = session.exitStatus();
    return status != Session::InterruptedStatus && (reporter.outputLost() || !written)
               ? Session::LostStatus
               : status;
}
