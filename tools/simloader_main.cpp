#include "download/image.h"
#include "testing/simloader/simloader.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <pthread.h>

namespace
{

const int DefaultBaud = 115200;

} // namespace

// Plays the device's loader on a pseudo-terminal for manual tries of the downloader: prints the
// port to open, then serves downloads until interrupted.
int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Plays the device's loader on a pseudo-terminal and prints the port to open.");
    parser.addHelpOption();
    const QCommandLineOption throttle("throttle", "Pace the line as at <baud> (default 115200).",
                                      "baud");
    const QCommandLineOption unpaced("unpaced", "Answer as fast as the machine can.");
    const QCommandLineOption delay("delay", "Wait <ms> before each reply.", "ms");
    const QCommandLineOption silent("silent", "Never answer.");
    const QCommandLineOption answerFrom("answer-from", "Answer handshakes from the <n>-th on.",
                                        "n");
    const QCommandLineOption save("save", "Write each received image to <file>.", "file");
    parser.addOptions({throttle, unpaced, delay, silent, answerFrom, save});
    parser.process(app);

    const auto number = [&parser](const QCommandLineOption &option, int fallback) {
        if (!parser.isSet(option))
            return fallback;
        bool ok = false;
        const int value = parser.value(option).toInt(&ok);
        if (!ok || value < 0) {
            std::fprintf(stderr, "--%s needs a number\n", qPrintable(option.names().first()));
            std::exit(EXIT_FAILURE);
        }
        return value;
    };
    if (parser.isSet(throttle) && parser.isSet(unpaced)) {
        std::fprintf(stderr, "--throttle and --unpaced exclude each other\n");
        return EXIT_FAILURE;
    }
    SimLoader::Faults faults;
    // Paced like a real line by default; an unpaced loader answers hundreds of kB/s.
    faults.throttleBaud = parser.isSet(unpaced) ? 0 : number(throttle, DefaultBaud);
    if (parser.isSet(throttle) && faults.throttleBaud == 0) {
        std::fprintf(stderr, "--throttle needs a rate above 0 (or --unpaced)\n");
        return EXIT_FAILURE;
    }
    faults.replyDelayMs = number(delay, 0);
    faults.silent = parser.isSet(silent);
    faults.answerFromHandshake = number(answerFrom, 1);
    SimLoader loader(faults);

    const QString savePath = parser.value(save);
    loader.setImageHandler([savePath](const QByteArray &image, quint16 headerChecksum) {
        const auto checksum = imageChecksum(image);
        std::printf("received %d bytes, checksum %u, %s\n", image.size(), checksum,
                    checksum == headerChecksum ? "as announced" : "header announced another");
        std::fflush(stdout);
        QFile file(savePath);
        if (!savePath.isEmpty() &&
            (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size()))
            std::fprintf(stderr, "cannot write %s\n", qPrintable(savePath));
    });

    // Blocked before the loader's thread starts, so that thread inherits the mask and the
    // signals wait for sigwait() below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    if (!loader.start()) {
        std::fprintf(stderr, "cannot open a pseudo-terminal\n");
        return EXIT_FAILURE;
    }
    std::printf("%s\n", qPrintable(loader.portName()));
    std::fflush(stdout);
    int received = 0;
    sigwait(&stopSignals, &received);
    loader.stop();
    return EXIT_SUCCESS;
}
