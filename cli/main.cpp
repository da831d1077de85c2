#include "cli/options.h"
#include "cli/reporter.h"
#include "cli/signalwatcher.h"

#include "download/dudozerdownload.h"
#include "download/imagefile.h"
#include "download/protocol.h"
#include "station/session.h"

#include <QCoreApplication>
#include <QLoggingCategory>

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
    // The engine traces its steps; on a terminal they would tear the live lines.
    QLoggingCategory::setFilterRules(
        QStringLiteral("%1.debug=false").arg(engineLog().categoryName()));

    Options options;
    QString error;
    if (!options.parse(app.arguments(), &error))
        return fail(error + "\nTry 'lumedra-cli --help'.");
    if (options.list) {
        Reporter::listPorts(options.json);
        return 0;
    }

    // Read whole and once, before any port opens: every board gets the very same bytes.
    QByteArray image;
    QString reason;
    switch (ImageFile::read(options.image, &image, &reason)) {
    case ImageFile::Status::Ok:
        break;
    case ImageFile::Status::NotRegular:
    case ImageFile::Status::TooLarge:
        return fail(QString("%1 is %2").arg(options.image, reason));
    case ImageFile::Status::CannotOpen:
    case ImageFile::Status::ReadFailed:
        return fail(QString("cannot read %1: %2").arg(options.image, reason));
    }
    if (image.isEmpty())
        return fail(QString("%1 is empty").arg(options.image));

    SignalWatcher signalWatcher;
    if (!signalWatcher.install())
        return fail("cannot watch for stop signals");
    const Reporter::Mode mode = options.json              ? Reporter::Mode::Json
                                : ::isatty(STDOUT_FILENO) ? Reporter::Mode::Terminal
                                                          : Reporter::Mode::Plain;
    // Once for every board: the image is the same for all.
    const auto checksum = quint16(byteSum(image.constData(), image.size()));
    Reporter reporter(mode, options.targets, image.size(), checksum);
    Session session(options.targets, options.baud, image, checksum);
    QObject::connect(&session, &Session::event, &reporter, &Reporter::report);
    QObject::connect(&signalWatcher, &SignalWatcher::caught, &session, &Session::stop);
    QObject::connect(&session, &Session::finished, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    session.start();
    app.exec();
    reporter.summary();
    return session.exitStatus();
}
