#include "download/image.h"
#include "testing/simloader/simloader.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QComboBox>
#include <QCommandLineParser>

#include <cstdio>

// The tool's window with a simulated device at the top of its port list, for trying downloads
// without hardware (the system's port list never shows pseudo-terminals).
int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription("Opens the window with a simulated device to download to.");
    parser.addHelpOption();
    const QCommandLineOption throttle("throttle", "Pace the line as at <baud> (default 115200).",
                                      "baud", "115200");
    const QCommandLineOption unpaced("unpaced", "Answer as fast as the machine can.");
    parser.addOptions({throttle, unpaced});
    parser.process(app);

    SimLoader::Faults faults;
    bool ok = false;
    faults.throttleBaud = parser.value(throttle).toInt(&ok);
    if (!ok || faults.throttleBaud <= 0 || (parser.isSet(throttle) && parser.isSet(unpaced))) {
        std::fprintf(stderr, "--throttle needs a rate above 0, and excludes --unpaced\n");
        return 1;
    }
    if (parser.isSet(unpaced))
        faults.throttleBaud = 0;
    SimLoader loader(faults);
    loader.setImageHandler([](const QByteArray &image, quint16 headerChecksum) {
        std::printf("device received %d bytes, checksum %u (header said %u)\n", image.size(),
                    unsigned(imageChecksum(image)), unsigned(headerChecksum));
        std::fflush(stdout);
    });
    if (!loader.start()) {
        std::fprintf(stderr, "cannot open a pseudo-terminal\n");
        return 1;
    }

    MainWindow window;
    auto *ports = window.findChild<QComboBox *>("comboBox_serial");
    ports->insertItem(0, loader.portName());
    ports->setCurrentIndex(0);
    window.show();
    return app.exec();
}
