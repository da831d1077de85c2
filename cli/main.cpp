#include "cli/boardtext.h"
#include "cli/doctorcommand.h"
#include "cli/eventlines.h"
#include "cli/jobcheck.h"
#include "cli/liveview.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/portlist.h"
#include "cli/reportcommand.h"
#include "cli/signalwatcher.h"

#include "download/dudozerdownload.h"
#include "download/image.h"
#include "records/recorder.h"
#include "records/recordspool.h"
#include "records/recordstore.h"
#include "records/storeurl.h"
#include "station/boardlog.h"
#include "station/session.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QStandardPaths>
#include <QSysInfo>
#include <QLoggingCategory>

#include <csignal>
#include <cstdio>
#include <memory>

#include <unistd.h>

namespace
{
constexpr int UsageStatus = 2;
// Output that a reader does not take within this long is lost, and the run ends anyway.
constexpr int DrainMs = 5000;

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
    if (app.arguments().value(1) == "doctor")
        return runDoctor(app.arguments().mid(2));
    QCoreApplication::setApplicationName("lumedra-cli");
    QCoreApplication::setApplicationVersion(LUMEDRA_VERSION);
    if (app.arguments().value(1) == "report")
        return runReport(app.arguments().mid(2));

    Options options;
    const Options::Parsed parsed = options.parse(app.arguments());
    switch (parsed.kind) {
    case Options::Parsed::Kind::Help:
    case Options::Parsed::Kind::Version:
        std::fputs(qPrintable(parsed.text), stdout);
        return 0;
    case Options::Parsed::Kind::UsageError:
        return fail(parsed.text + "\nTry 'lumedra-cli --help'.");
    case Options::Parsed::Kind::Run:
        break;
    }
    // The engine traces its steps; unasked for, they would tear the live lines.
    if (!options.verbose)
        QLoggingCategory::setFilterRules(
            QStringLiteral("%1.debug=false").arg(engineLog().categoryName()));
    if (options.list) {
        Output output;
        output.write(Output::Stream::Out, PortList::lines(options.json));
        output.drain(DrainMs);
        return 0;
    }

    // Read whole and once, before any port opens: every board gets the very same bytes.
    const ImageLoad load = Image::load(options.image, options.settings.imageSpec);
    if (!load.image)
        return fail(load.message);
    RunSettings settings = options.settings;
    settings.image = *load.image;
    QString error;
    if (settings.serial && !settings.serial->fits(settings.image.size(), &error))
        return fail(error + "\nTry 'lumedra-cli --help'.");
    if (options.check) {
        Output output;
        output.write(Output::Stream::Out,
                     JobCheck::text(*options.job, options.targets, settings, options.logPath)
                         .toLocal8Bit());
        return output.drain(DrainMs) ? 0 : Session::LostStatus;
    }


    // A station and any run with serial numbers keep their record in a store, reached before
    // any port opens.
    std::optional<StoreUrl> url;
    if (!options.db.isEmpty())
        url = StoreUrl::parse(options.db, &error);
    else if (settings.serial || settings.station)
        url = StoreUrl::defaultSqlite();
    if (!options.db.isEmpty() && !url)
        return fail(error);
    const QString stationId =
        options.stationId.isEmpty() ? QSysInfo::machineHostName() : options.stationId;
    std::unique_ptr<RecordStore> store;
    std::unique_ptr<RecordSpool> spool;
    std::unique_ptr<Recorder> recorder;
    if (url) {
        store = std::make_unique<RecordStore>(*url);
        // One spool per store and station: what a crashed run left is written by its successor.
        const QByteArray name = QCryptographicHash::hash(
            (url->display() + '\n' + stationId).toUtf8(), QCryptographicHash::Sha1).toHex();
        spool = std::make_unique<RecordSpool>(
            QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
            "/lumedra/spool/" + QString::fromLatin1(name.left(16)) + ".jsonl");
        recorder = std::make_unique<Recorder>(store.get(), spool.get(), settings.serial);
        QVector<RecordStore::Voided> voided;
        const RecordStore::Run run{stationId, QSysInfo::machineHostName(), LUMEDRA_VERSION,
                                   app.arguments().mid(1).join(' '),
                                   QString::fromLatin1(settings.image.sha256),
                                   QCoreApplication::applicationPid()};
        if (!recorder->start(run, &voided, &error))
            return fail(error);
        for (const RecordStore::Voided &number : qAsConst(voided))
            std::fprintf(stderr, "lumedra-cli: serial number %s voided: run %lld, which held it, "
                                 "is gone\n",
                         qPrintable(number.serial), number.run);
    }

    BoardLog log;
    if (!options.logPath.isEmpty() && !log.open(options.logPath, &error))
        return fail(error);
    if (options.job)
        log.setStationId(options.job->stationId);

    // A closed pipe or terminal must not kill the run with boards half-written: writes fail
    // instead, and that output is given up. A closed terminal stops the run as SIGTERM does.
    std::signal(SIGPIPE, SIG_IGN);
    SignalWatcher signalWatcher;
    if (!signalWatcher.install())
        return fail("cannot watch for stop signals");

    Output output;
    Session session(options.targets, settings, options.logPath.isEmpty() ? nullptr : &log,
                    recorder.get());
    const qint64 bytes = settings.image.size();
    // A terminal gets the live display; with --quiet, or into a file or a pipe, lines.
    const bool live = !options.json && !options.quiet && ::isatty(STDOUT_FILENO);
    std::unique_ptr<LiveView> view;
    std::unique_ptr<EventLines> lines;
    if (live) {
        view = std::make_unique<LiveView>(session.state(), output, settings.station, bytes);
    } else {
        lines = std::make_unique<EventLines>(
            EventLines::Setup{options.json, options.quiet, settings.station, settings.attempts,
                              bytes, settings.image.checksum},
            options.targets);
        QObject::connect(&session, &Session::event, &output, [&](const BoardEvent &event) {
            const QByteArray line = lines->line(event);
            if (!line.isEmpty())
                output.write(Output::Stream::Out, line);
        });
    }
    QObject::connect(&output, &Output::lostNow, &session, &Session::drain);
    QObject::connect(&session, &Session::logLost, &output, [&output](const QString &reason) {
        output.notice(reason + "; the boards under way finish");
    });
    QObject::connect(&signalWatcher, &SignalWatcher::caught, &session, &Session::stop);
    QObject::connect(&session, &Session::finished, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    session.start();
    if (view)
        view->start();
    app.exec();
    if (recorder)
        recorder->stop();
    if (view)
        view->finish();
    // In JSON mode stdout carries events only; the summary goes to the human on stderr.
    output.write(options.json ? Output::Stream::Err : Output::Stream::Out,
                 BoardText::summary(session.state(), settings.station, bytes).toLocal8Bit());
    const bool written = output.drain(DrainMs);
    const int status = session.exitStatus();
    return status != Session::InterruptedStatus && (output.lost() || !written)
               ? Session::LostStatus
               : status;
}
