#include "stationui/stationwindow.h"

#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>

// The production station's window: lumedra-station [--locked] [--start] [JOB].
int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName("lumedra");
    QCoreApplication::setApplicationName("lumedra-station");
    QCoreApplication::setApplicationVersion(LUMEDRA_VERSION);
    QGuiApplication::setDesktopFileName("io.github.lumedra.station");

    QCommandLineParser parser;
    parser.setApplicationDescription("Runs a production station from a job file: a tile per "
                                     "slot, the counts and yield, Start and Stop.");
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption locked("locked", "Open no other job and change no setting.");
    const QCommandLineOption start("start", "Start the station as soon as the job is read.");
    parser.addOptions({locked, start});
    parser.addPositionalArgument("JOB", "The job file to run.", "[JOB]");
    parser.process(app);
    const QStringList jobs = parser.positionalArguments();
    if (jobs.size() > 1) {
        std::fputs("lumedra-station: one job at a time\n", stderr);
        return 2;
    }
    if (parser.isSet(start) && jobs.isEmpty()) {
        std::fputs("lumedra-station: --start needs a job\n", stderr);
        return 2;
    }

    StationWindow window(parser.isSet(locked));
    window.resize(1200, 800);
    window.show();
    if (!jobs.isEmpty())
        window.openJob(jobs.first(), parser.isSet(start));
    return app.exec();
}
