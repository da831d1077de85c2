// Writes the window's pictures for the documentation: idle with an image chosen, and mid-way
// through a download to the simulated loader.
//   xvfb-run -a lumedra-screenshot <directory>
#include "testing/kit/images.h"
#include "testing/kit/waitfor.h"
#include "testing/widgets/windowpicture.h"
#include "testing/simloader/simloader.h"
#include "testing/widgets/filedialoganswer.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>

#include <cstdio>

namespace
{

const int ImageSize = 32 * 1024;
const int LineBaud = 115200; // paces the loader so that the download is seen under way
const int SettleMs = 500;
const int ShownPercent = 45;
const int TimeoutMs = 20000;

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (app.arguments().size() != 2) {
        std::fprintf(stderr, "usage: lumedra-screenshot <directory>\n");
        return 2;
    }
    const QDir out(app.arguments().at(1));

    QTemporaryDir temp;
    const QString imagePath =
        writeFile(temp.path(), QStringLiteral("firmware.bin"), randomImage(ImageSize, 42));

    SimLoader::Faults faults;
    faults.throttleBaud = LineBaud;
    SimLoader loader(faults);
    if (!loader.start()) {
        std::fprintf(stderr, "cannot open a pseudo-terminal\n");
        return 1;
    }

    MainWindow window;
    window.show();
    auto *ports = window.findChild<QComboBox *>(QStringLiteral("comboBox_serial"));
    auto *bar = window.findChild<QProgressBar *>(QStringLiteral("progressBar"));
    auto *download = window.findChild<QPushButton *>(QStringLiteral("pushButton_download"));
    // Only the loader's port, so the picture does not depend on this machine's ports.
    ports->clear();
    ports->addItem(loader.portName());
    FileDialogAnswer::answerNext(imagePath);
    window.findChild<QPushButton *>(QStringLiteral("pushButton_open"))->click();
    // Let the dialog close and the window finish its layout and first paint.
    waitFor([] { return false; }, SettleMs);
    if (!saveWindowPicture(window, out, QStringLiteral("window-idle.png")))
        return 1;

    download->click();
    if (!waitFor([bar] { return bar->value() >= ShownPercent; }, TimeoutMs)) {
        std::fprintf(stderr, "the download did not get under way\n");
        return 1;
    }
    const bool saved = saveWindowPicture(window, out, QStringLiteral("window-downloading.png"));
    download->click();
    return saved ? 0 : 1;
}
