#include "testing/simloader.h"
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
    parser.addOption(throttle);
    parser.process(app);

    SimLoader::Faults faults;
    faults.throttleBaud = parser.value(throttle).toInt();
    SimLoader loader(faults);
    loader.setImageHandler([](const QByteArray &image, quint16 headerChecksum) {
        std::printf("device received %d bytes, checksum %u (header said %u)\n", image.size(),
                    unsigned(quint16(byteSum(image.constData(), image.size()))),
                    unsigned(headerChecksum));
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
