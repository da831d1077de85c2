// Writes the station window's picture of boards' labels for the documentation: a slot whose board
// waits for its label, highlighted; a board done under its label; a board refused because its
// label was flashed before; and the scan field beside a refused scan.
//   xvfb-run -a lumedra-scan-screenshot <directory>
#include "stationui/stationwindow.h"
#include "testing/kit/images.h"
#include "testing/kit/waitfor.h"
#include "testing/simloader/simloader.h"
#include "testing/widgets/windowpicture.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QScopeGuard>

#include <cstdio>
#include <memory>
#include <vector>

namespace
{
constexpr int Slots = 3;
constexpr int ImageSize = 16 * 1024;
constexpr int SettleMs = 800;
constexpr int TimeoutMs = 30000;

QString slotLink(const QDir &fixture, int slot)
{
    return fixture.filePath(QString("pci-0000:00:14.0-usb-0:2.%1:1.0-port0").arg(slot));
}
} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName("lumedra-screenshot");
    QLoggingCategory::setFilterRules("lumedra.engine.debug=false");
    if (app.arguments().size() != 2) {
        std::fprintf(stderr, "usage: lumedra-scan-screenshot <directory>\n");
        return 2;
    }
    const QDir out(app.arguments().at(1));
    QDir fixture(QDir::temp().filePath("lumedra-line-4"));
    fixture.removeRecursively();
    if (!fixture.mkpath(".")) {
        std::fprintf(stderr, "cannot make %s\n", qPrintable(fixture.path()));
        return 1;
    }
    const auto cleanUp = qScopeGuard([&] { fixture.removeRecursively(); });
    writeFile(fixture.path(), "firmware-2.4.1.bin", randomImage(ImageSize, 43));
    QByteArray job = "[job]\nversion = 1\nimage = firmware-2.4.1.bin\nstation-id = line-4\n"
                     "gone-after = 1\nlog = flash.jsonl\ndb = sqlite:boards.sqlite\n"
                     "scan = required\nscan-pattern = PCB-[0-9]{6}\n"
                     "[serial]\nat = 0x400\nformat = dec:10\nprefix = LMD-\nstart = 301\n";
    for (int i = 1; i <= Slots; ++i)
        job += QString("[slot.%1]\nport = %2\nlabel = fixture, C%1\ncode = FIX-C%1\n")
                   .arg(i)
                   .arg(slotLink(fixture, i))
                   .toUtf8();
    const QString jobPath = writeFile(fixture.path(), "line-4.job", job);

    StationWindow window(false);
    window.resize(1100, 640);
    window.show();
    bool started = false;
    QObject::connect(&window, &StationWindow::started, [&] { started = true; });
    window.openJob(jobPath, true);
    if (!waitFor([&] { return started; }, TimeoutMs)) {
        std::fprintf(stderr, "the station did not start\n");
        return 1;
    }
    std::vector<std::unique_ptr<SimLoader>> loaders;
    const auto plug = [&](int slot) {
        loaders.push_back(std::make_unique<SimLoader>());
        return loaders.back()->start() &&
               QFile::link(loaders.back()->portName(), slotLink(fixture, slot));
    };
    const auto described = [&](int slot) {
        const QWidget *tile = window.findChild<QWidget *>(QString("slot%1").arg(slot));
        return tile ? tile->accessibleDescription() : QString();
    };
    auto *field = window.findChild<QLineEdit *>("scan");
    // As a wedge scanner leaves it: the text, then Enter.
    const auto scan = [&](const QString &text) {
        field->setText(text);
        QMetaObject::invokeMethod(field, "returnPressed");
    };
    const auto asks = [&](int slot) { return described(slot).endsWith("scan the board's label"); };
    const auto done = [&](int slot) { return described(slot).endsWith("remove the board"); };
    if (!field || !plug(3) || !waitFor([&] { return asks(3); }, TimeoutMs)) {
        std::fprintf(stderr, "slot 3 did not ask for its label\n");
        return 1;
    }
    scan("PCB-000311");
    if (!waitFor([&] { return done(3); }, TimeoutMs) || !QFile::remove(slotLink(fixture, 3)) ||
        !waitFor([&] { return described(3).endsWith("waiting for a board"); }, TimeoutMs)) {
        std::fprintf(stderr, "slot 3's first board did not finish\n");
        return 1;
    }
    // The same board back on slot 3, and a new one on slot 2.
    if (!plug(3) || !plug(2) || !waitFor([&] { return asks(3) && asks(2); }, TimeoutMs)) {
        std::fprintf(stderr, "slots 2 and 3 did not ask for labels\n");
        return 1;
    }
    scan("FIX-C2");
    scan("PCB-000417");
    scan("PCB-000311");
    if (!waitFor([&] { return done(2) && described(3).endsWith("remove it"); }, TimeoutMs)) {
        std::fprintf(stderr, "slot 2 did not finish, or slot 3 was not refused\n");
        return 1;
    }
    if (!plug(1) || !waitFor([&] { return asks(1); }, TimeoutMs)) {
        std::fprintf(stderr, "slot 1 did not ask for its label\n");
        return 1;
    }
    scan("PCB-41");
    waitFor([] { return false; }, SettleMs);
    return saveWindowPicture(window, out, "station-scan.png") ? 0 : 1;
}
