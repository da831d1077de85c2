// Writes the station window's pictures for the documentation: a numbered, pinned job read and
// not started; the Start dialog asking who and which lot; a busy station of eight slots with boards
// passed, failed and flashing at once, each with its serial number; and the Report tab with one
// number's history.
//   xvfb-run -a lumedra-station-screenshot <directory>
#include "stationui/reportview.h"
#include "stationui/startdialog.h"
#include "stationui/stationwindow.h"
#include "testing/kit/images.h"
#include "testing/kit/waitfor.h"
#include "testing/simloader/simloader.h"
#include "testing/widgets/windowpicture.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTabWidget>

#include <cstdio>
#include <memory>
#include <vector>

namespace
{

constexpr int Slots = 8;
constexpr int ImageSize = 64 * 1024; // about 6 s at 115200 baud: long enough to be seen flashing
constexpr int LineBaud = 115200;
constexpr int SettleMs = 800;
constexpr int StaggerMs = 1200; // the flashing boards came one after another
constexpr int TimeoutMs = 30000;

QString slotLink(const QDir &fixture, int slot)
{
    return fixture.filePath(QString("pci-0000:00:14.0-usb-0:1.%1:1.0-port0").arg(slot));
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName("lumedra-screenshot");
    QLoggingCategory::setFilterRules("lumedra.engine.debug=false");
    if (app.arguments().size() != 2) {
        std::fprintf(stderr, "usage: lumedra-station-screenshot <directory>\n");
        return 2;
    }
    const QDir out(app.arguments().at(1));

    // A plain folder name: the pictures show the store's address.
    QDir fixture(QDir::temp().filePath("lumedra-line-3"));
    fixture.removeRecursively();
    if (!fixture.mkpath(".")) {
        std::fprintf(stderr, "cannot make %s\n", qPrintable(fixture.path()));
        return 1;
    }
    const auto cleanUp = qScopeGuard([&] { fixture.removeRecursively(); });
    const QByteArray firmware = randomImage(ImageSize, 42);
    writeFile(fixture.path(), "firmware-2.4.1.bin", firmware);
    QByteArray job = "[job]\nversion = 1\nimage = firmware-2.4.1.bin\nstation-id = line-3\n"
                     "reset-cmd = true\ngone-after = 2\nlog = flash.jsonl\nlocked = true\n"
                     "db = sqlite:boards.sqlite\noperator = ask\nlot = ask\nimage-sha256 = " +
                     QCryptographicHash::hash(firmware, QCryptographicHash::Sha256).toHex() +
                     "\n[serial]\nat = 0x400\nformat = dec:10\nprefix = LMD-\nstart = 121\n";
    const char *const labels[Slots] = {
        "left fixture, A1",  "left fixture, A2",  "left fixture, A3",  "left fixture, A4",
        "right fixture, B1", "right fixture, B2", "right fixture, B3", "right fixture, B4"};
    for (int i = 1; i <= Slots; ++i)
        job += QString("[slot.%1]\nport = %2\nlabel = %3\n")
                   .arg(i)
                   .arg(slotLink(fixture, i), labels[i - 1])
                   .toUtf8();
    const QString jobPath = writeFile(fixture.path(), "line-3.job", job);

    StationWindow window(false);
    window.resize(1280, 820);
    window.show();
    bool loaded = false;
    QObject::connect(&window, &StationWindow::jobLoaded, [&](bool ok) { loaded = ok; });
    window.openJob(jobPath);
    if (!waitFor([&] { return loaded; }, TimeoutMs)) {
        std::fprintf(stderr, "the job was not read\n");
        return 1;
    }
    waitFor([] { return false; }, SettleMs);
    if (!saveWindowPicture(window, out, "station-idle.png"))
        return 1;

    // Slot by slot: passed at once, rejected, flashing, nothing plugged in.
    using Step = SimLoader::Step;
    const SimLoader::Faults pass{}, paced{.throttleBaud = LineBaud};
    const std::vector<std::pair<int, SimLoader::Faults>> boards{
        {1, pass},
        {2, {.wrongAt = Step::Block, .wrongIndex = 212}},
        {4, pass},
        {5, pass},
        {8, {.wrongAt = Step::Finish}},
        {3, paced},
        {7, paced},
    };
    std::vector<std::unique_ptr<SimLoader>> loaders;
    // Asked at Start: the operator's badge scanned, the lot under way.
    window.start();
    auto *dialog = window.findChild<StartDialog *>();
    auto *who = window.findChild<QLineEdit *>("operator");
    auto *lot = window.findChild<QLineEdit *>("lot");
    if (!dialog || !who || !lot) {
        std::fprintf(stderr, "the Start dialog did not ask for the operator and the lot\n");
        return 1;
    }
    who->setText("ana.k");
    QMetaObject::invokeMethod(who, "returnPressed");
    lot->setText("WO-2291");
    waitFor([] { return false; }, SettleMs);
    if (!saveWindowPicture(*dialog, out, "station-start.png"))
        return 1;
    QMetaObject::invokeMethod(lot, "returnPressed");
    for (const auto &[slot, faults] : boards) {
        loaders.push_back(std::make_unique<SimLoader>(faults));
        if (!loaders.back()->start() ||
            !QFile::link(loaders.back()->portName(), slotLink(fixture, slot))) {
            std::fprintf(stderr, "cannot plug a simulated board\n");
            return 1;
        }
        if (faults.throttleBaud > 0)
            waitFor([] { return false; }, StaggerMs);
    }
    const auto described = [&](int slot) {
        const QWidget *tile = window.findChild<QWidget *>(QString("slot%1").arg(slot));
        return tile ? tile->accessibleDescription() : QString();
    };
    // "slot 3: flashing, board 6, serial LMD-000126, 45 %"
    const auto percent = [&](int slot) {
        const QString said = described(slot);
        return said.contains(": flashing") ? said.section(", ", -1).section(' ', 0, 0).toInt() : -1;
    };
    if (!waitFor([&] { return percent(3) >= 40 && percent(7) >= 10; }, TimeoutMs)) {
        std::fprintf(stderr, "the boards did not get under way\n");
        return 1;
    }
    if (!saveWindowPicture(window, out, "station-busy.png"))
        return 1;

    // Every board done, then the day's report and the history of the rejected board's number.
    if (!waitFor([&] { return described(3).contains("remove") && described(7).contains("remove"); },
                 TimeoutMs)) {
        std::fprintf(stderr, "the flashing boards did not finish\n");
        return 1;
    }
    const QString number = QRegularExpression("serial ([^,]+)").match(described(2)).captured(1);
    auto *tabs = window.findChild<QTabWidget *>();
    auto *report = window.findChild<ReportView *>();
    auto *lookup = window.findChild<QLineEdit *>("serialLookup");
    if (number.isEmpty() || !tabs || !report || !lookup) {
        std::fprintf(stderr, "no serial number on slot 2, or no report\n");
        return 1;
    }
    bool refreshed = false, lookedUp = false;
    QObject::connect(report, &ReportView::refreshed, [&] { refreshed = true; });
    QObject::connect(report, &ReportView::lookedUp, [&] { lookedUp = true; });
    tabs->setCurrentWidget(report);
    lookup->setText(number);
    QMetaObject::invokeMethod(lookup, "returnPressed");
    if (!waitFor([&] { return refreshed && lookedUp; }, TimeoutMs)) {
        std::fprintf(stderr, "the report was not read\n");
        return 1;
    }
    waitFor([] { return false; }, SettleMs);
    return saveWindowPicture(window, out, "station-report.png") ? 0 : 1;
}
