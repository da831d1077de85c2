#include "stationui/startdialog.h"

#include <QtTest>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

// The Start dialog as a keyboard-wedge scanner fills it: a code typed and Enter pressed, field
// after field, asking only what the job asks.
class tst_StartDialog : public QObject
{
    Q_OBJECT

private slots:
    void scans_data();
    void scans();
    void nothingAsked();
};

void tst_StartDialog::scans_data()
{
    QTest::addColumn<QString>("operatorKey"); // the job's values
    QTest::addColumn<QString>("lotKey");
    // Each typed into the focused field and followed by Enter; "<start>" and "<cancel>" press
    // the buttons instead.
    QTest::addColumn<QStringList>("typed");
    // "started OPERATOR|LOT", "cancelled", or "open FIELD: PROBLEM" with the focus in FIELD.
    QTest::addColumn<QString>("expected");

    QTest::newRow("both scanned") << "ask"
                                  << "ask" << QStringList{"ana", "WO-1"} << "started ana|WO-1";
    QTest::newRow("only the lot asked") << "ivo"
                                        << "ask" << QStringList{"WO-2"} << "started ivo|WO-2";
    QTest::newRow("only the operator asked") << "ask"
                                             << "WO-3" << QStringList{"bo"} << "started bo|WO-3";
    QTest::newRow("spaces around a scan")
        << "ask"
        << "ask" << QStringList{" ana ", "WO-4 "} << "started ana|WO-4";
    QTest::newRow("Enter in an empty first field stays")
        << "ask"
        << "ask" << QStringList{""} << "open operator: Operator needs a value";
    QTest::newRow("Enter in an empty last field stays")
        << "ask"
        << "ask" << QStringList{"ana", ""} << "open lot: Lot needs a value";
    QTest::newRow("Start with the lot still empty")
        << "ask"
        << "ask" << QStringList{"ana", "<start>"} << "open lot: Lot needs a value";
    QTest::newRow("the lot scanned after a refused Start")
        << "ask"
        << "ask" << QStringList{"ana", "<start>", "WO-5"} << "started ana|WO-5";
    QTest::newRow("'ask' is no answer")
        << "ask"
        << "WO-6" << QStringList{"ask"}
        << "open operator: Operator 'ask' is the job's word for asking at the start: give the "
           "operator itself";
    QTest::newRow("cancelled after the first scan")
        << "ask"
        << "ask" << QStringList{"ana", "<cancel>"} << "cancelled";
}

void tst_StartDialog::scans()
{
    QFETCH(QString, operatorKey);
    QFETCH(QString, lotKey);
    QFETCH(QStringList, typed);
    QFETCH(QString, expected);

    OperatorLot asked;
    QString error;
    QVERIFY(asked.setFromJob(OperatorLot::Field::Operator, operatorKey, &error));
    QVERIFY(asked.setFromJob(OperatorLot::Field::Lot, lotKey, &error));
    QWidget parent;
    parent.show();
    QString said;
    StartDialog::ask(asked, &parent, [&](const OperatorLot &answered) {
        said = "started " + answered.value(OperatorLot::Field::Operator) + '|' +
               answered.value(OperatorLot::Field::Lot);
    });
    auto *dialog = parent.findChild<StartDialog *>();
    QVERIFY(dialog && dialog->isVisible());
    // Only what the job asks is a field.
    QCOMPARE(bool(dialog->findChild<QLineEdit *>("operator")), operatorKey == "ask");
    QCOMPARE(bool(dialog->findChild<QLineEdit *>("lot")), lotKey == "ask");
    QSignalSpy finished(dialog, &QDialog::finished);
    QVERIFY(finished.isValid());
    const auto button = [&](const QString &text) {
        for (QPushButton *push : dialog->findChildren<QPushButton *>())
            if (push->text().remove('&') == text)
                return push;
        return static_cast<QPushButton *>(nullptr);
    };
    for (int i = 0; i < typed.size(); ++i) {
        // Nothing but the last step may end the dialog: a scan's Enter only moves on.
        QVERIFY2(finished.isEmpty(), qPrintable(QString("ended before step %1").arg(i + 1)));
        if (typed[i] == "<start>" || typed[i] == "<cancel>") {
            QPushButton *push = button(typed[i] == "<start>" ? "Start" : "Cancel");
            QVERIFY(push);
            QTest::mouseClick(push, Qt::LeftButton);
            continue;
        }
        auto *field = qobject_cast<QLineEdit *>(dialog->focusWidget());
        QVERIFY2(field, "no field has the focus");
        QTest::keyClicks(field, typed[i]);
        QTest::keyClick(field, Qt::Key_Return);
        // A scan taken says nothing, even with the next field still empty.
        if (!typed[i].trimmed().isEmpty() && typed[i] != "ask" && finished.isEmpty())
            QVERIFY2(dialog->findChild<QLabel *>("startProblem")->isHidden(),
                     qPrintable(dialog->findChild<QLabel *>("startProblem")->text()));
    }
    if (expected.startsWith("open ")) {
        QVERIFY(finished.isEmpty() && said.isEmpty());
        const auto *problem = dialog->findChild<QLabel *>("startProblem");
        QVERIFY(problem);
        QCOMPARE("open " + dialog->focusWidget()->objectName() + ": " + problem->text(), expected);
        return;
    }
    QCOMPARE(finished.size(), 1);
    QCOMPARE(said.isEmpty() ? QString("cancelled") : said, expected);
}

void tst_StartDialog::nothingAsked()
{
    OperatorLot fixed;
    QString error;
    QVERIFY(fixed.setFromJob(OperatorLot::Field::Lot, "WO-7", &error));
    QWidget parent;
    QString said;
    StartDialog::ask(fixed, &parent, [&](const OperatorLot &answered) {
        said = answered.value(OperatorLot::Field::Lot);
    });
    // At once, without a dialog to dismiss.
    QCOMPARE(said, QString("WO-7"));
    QVERIFY(!parent.findChild<StartDialog *>());
}

QTEST_MAIN(tst_StartDialog)
#include "tst_startdialog.moc"
