#include "cli/boardtext.h"
#include "cli/doctorcommand.h"
#include "cli/eventlines.h"
#include "cli/liveview.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/portlist.h"
#include "cli/reportcommand.h"
#include "cli/scanreader.h"
#include "cli/signalwatcher.h"

#include "download/dudozerdownload.h"
#include "station/jobsummary.h"
#include "station/session.h"
#include "station/stationrun.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QThread>

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

// Prints `text` and ends: 0, or the lost-output status when nobody took it.
int print(const QByteArray &text)
{
    Output output;
    output.write(Output::Stream::Out, text);
    return output.drain(DrainMs) ? 0 : Session::LostStatus;
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
    if (options.list)
        return print(PortList::lines(options.json));

    const RunPlan plan = options.plan(app.arguments().mid(1).join(' '));
    QString error;
    if (options.check) {
        const std::optional<Image> image = StationRun::readImage(plan, &error);
        if (!image)
            return fail(error);
        const StationRun::Look look = StationRun::lookAtStore(plan);
        const int printed =
            print(JobSummary::text(JobSummary::rows(plan, *image, look)).toLocal8Bit());
        // The run would not start without its store.
        return look.url && !look.store ? fail(look.error) : printed;
    }
    const std::unique_ptr<StationRun> run = StationRun::prepare(plan, app.thread(), &error);
    if (!run)
        return fail(error);
    for (const RecordStore::Voided &number : run->voided())
        std::fprintf(stderr,
                     "lumedra-cli: serial number %s voided: run %lld, which held it, is gone\n",
                     qPrintable(number.serial), number.run);
    for (const QString &warning : run->warnings())
        std::fprintf(stderr, "lumedra-cli: warning: %s\n", qPrintable(warning));

    // A closed pipe or terminal must not kill the run with boards half-written: writes fail
    // instead, and that output is given up. A closed terminal stops the run as SIGTERM does.
    std::signal(SIGPIPE, SIG_IGN);
    SignalWatcher signalWatcher;
    if (!signalWatcher.install())
        return fail("cannot watch for stop signals");

    ScanReader scans;
    if (!options.scanFrom.isEmpty() && !scans.open(options.scanFrom, &error))
        return fail(error);

    Output output;
    Session &session = run->createSession();
    const RunSettings &settings = run->settings();
    const qint64 bytes = settings.image.size();
    // A terminal gets the live display; with --quiet, or into a file or a pipe, lines.
    const bool live = !options.json && !options.quiet && ::isatty(STDOUT_FILENO);
    std::unique_ptr<LiveView> view;
    std::unique_ptr<EventLines> lines;
    if (live) {
        view = std::make_unique<LiveView>(session.state(), output, settings.station,
                                          settings.resets(), bytes);
    } else {
        lines = std::make_unique<EventLines>(EventLines::Setup{options.json, options.quiet,
                                                               settings.station, settings.attempts,
                                                               bytes, settings.image.checksum},
                                             plan.targets);
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
    // Scans go through the same routing as the window's scanner; what is refused is said.
    QObject::connect(&scans, &ScanReader::scanned, &session, [&](const QString &code, int slot) {
        const ScanRouter::Route route = session.scan(code, slot);
        if (route.kind == ScanRouter::Route::Kind::Label)
            return;
        const bool refused = route.kind == ScanRouter::Route::Kind::Refused;
        if (options.json)
            output.write(Output::Stream::Out,
                         QJsonDocument(QJsonObject{{"event", refused ? "scan_refused" : "scan"},
                                                   {"scan", route.text},
                                                   {"reason", route.message}})
                                 .toJson(QJsonDocument::Compact) +
                             "\n");
        else if (refused)
            output.notice(QString("scan %1 refused: %2").arg(route.text, route.message));
        else
            output.write(Output::Stream::Out, (route.message + "\n").toLocal8Bit());
    });
    QObject::connect(&session, &Session::finished, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    session.start();
    if (view)
        view->start();
    app.exec();
    run->finish();
    if (view)
        view->finish();
    // In JSON mode stdout carries events only; the summary goes to the human on stderr.
    output.write(options.json ? Output::Stream::Err : Output::Stream::Out,
                 BoardText::summary(session.state(), settings.station, bytes).toLocal8Bit());
    const bool written = output.drain(DrainMs);
    const int status = session.exitStatus();
    return status != Session::InterruptedStatus && (output.lost() || !written) ? Session::LostStatus
                                                                               : status;
}
