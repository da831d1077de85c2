#include "../ui/ui_mainwindow.h"
#include "filedialoganswer.h"
#include "ui/mainwindow.h"

#include <QtTest>
#include <QtWidgets>

namespace
{

struct FormObject {
    const char *name;
    const char *className;
    const char *parent; // once the form is built: nested layouts belong to their parent layout
};

// In order of creation.
const FormObject FormObjects[] = {
    {"centralWidget", "QWidget", "MainWindow"},
    {"gridLayout", "QGridLayout", "centralWidget"},
    {"verticalLayout_2", "QVBoxLayout", "gridLayout"},
    {"horizontalLayout", "QHBoxLayout", "verticalLayout_2"},
    {"verticalLayout", "QVBoxLayout", "horizontalLayout"},
    {"groupBox", "QGroupBox", "centralWidget"},
    {"gridLayout_2", "QGridLayout", "groupBox"},
    {"verticalLayout_3", "QVBoxLayout", "gridLayout_2"},
    {"horizontalLayout_3", "QHBoxLayout", "verticalLayout_3"},
    {"label", "QLabel", "groupBox"},
    {"comboBox_serial", "QComboBox", "groupBox"},
    {"horizontalLayout_4", "QHBoxLayout", "verticalLayout_3"},
    {"label_2", "QLabel", "groupBox"},
    {"comboBox_bd", "QComboBox", "groupBox"},
    {"splitter", "QSplitter", "centralWidget"},
    {"pushButton_open", "QPushButton", "splitter"},
    {"pushButton_download", "QPushButton", "splitter"},
    {"groupBox_2", "QGroupBox", "centralWidget"},
    {"gridLayout_3", "QGridLayout", "groupBox_2"},
    {"textBrowser", "QTextBrowser", "groupBox_2"},
    {"horizontalLayout_2", "QHBoxLayout", "verticalLayout_2"},
    {"progressBar", "QProgressBar", "centralWidget"},
    {"label_3", "QLabel", "centralWidget"},
    {"lineEdit_filesize", "QLineEdit", "centralWidget"},
    {"label_4", "QLabel", "centralWidget"},
    {"lineEdit_checksum", "QLineEdit", "centralWidget"},
    {"menuBar", "QMenuBar", "MainWindow"},
    {"mainToolBar", "QToolBar", "MainWindow"},
};

QString nameOf(QLayoutItem *item)
{
    if (item->widget())
        return item->widget()->objectName();
    if (item->layout())
        return item->layout()->objectName();
    return QStringLiteral("<spacer>");
}

QSizePolicy policy(QSizePolicy::Policy horizontal, QSizePolicy::Policy vertical,
                   const QWidget &classDefault)
{
    QSizePolicy p(horizontal, vertical);
    p.setHeightForWidth(classDefault.sizePolicy().hasHeightForWidth());
    return p;
}

} // namespace

class tst_Form : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void objects_data();
    void objects();
    void siblingOrder();
    void layoutItems_data();
    void layoutItems();
    void layoutSettings_data();
    void layoutSettings();
    void sizePolicies_data();
    void sizePolicies();
    void properties_data();
    void properties();
    void windowChrome();
    void label2StaysLeftToRight();
    void objectName_data();
    void objectName();
    void buttonsBoundByName_data();
    void buttonsBoundByName();
};

void tst_Form::cleanup()
{
    QApplication::setLayoutDirection(Qt::LeftToRight);
}

void tst_Form::objects_data()
{
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("parentName");
    for (const FormObject &o : FormObjects)
        QTest::newRow(o.name) << o.className << o.parent;
}

void tst_Form::objects()
{
    QFETCH(QString, className);
    QFETCH(QString, parentName);
    MainWindow window;
    const QList<QObject *> found = window.findChildren<QObject *>(QTest::currentDataTag());
    QCOMPARE(found.size(), 1);
    QCOMPARE(QString(found.first()->metaObject()->className()), className);
    QVERIFY(found.first()->parent());
    QCOMPARE(found.first()->parent()->objectName(), parentName);
}

void tst_Form::siblingOrder()
{
    // Objects made with a parent join its children as they are created, nested layouts as they
    // are inserted: either way, siblings must appear in table order. A splitter restacks its
    // widgets, so its order is checked through the splitter itself.
    MainWindow window;
    QHash<QObject *, QStringList> expected;
    for (const FormObject &o : FormObjects) {
        QObject *object = window.findChild<QObject *>(o.name);
        QVERIFY2(object, o.name);
        if (!qobject_cast<QSplitter *>(object->parent()))
            expected[object->parent()] << o.name;
    }
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        QStringList actual;
        for (const QObject *child : it.key()->children())
            if (it.value().contains(child->objectName()))
                actual << child->objectName();
        QCOMPARE(actual, it.value());
    }
}

void tst_Form::layoutItems_data()
{
    QTest::addColumn<QStringList>("items");
    QTest::newRow("gridLayout") << QStringList{"verticalLayout_2"};
    QTest::newRow("verticalLayout_2") << QStringList{"horizontalLayout", "horizontalLayout_2"};
    QTest::newRow("horizontalLayout") << QStringList{"verticalLayout", "groupBox_2"};
    QTest::newRow("verticalLayout") << QStringList{"groupBox", "splitter"};
    QTest::newRow("gridLayout_2") << QStringList{"verticalLayout_3"};
    QTest::newRow("verticalLayout_3") << QStringList{"horizontalLayout_3", "horizontalLayout_4"};
    QTest::newRow("horizontalLayout_3") << QStringList{"label", "comboBox_serial"};
    QTest::newRow("horizontalLayout_4") << QStringList{"label_2", "comboBox_bd"};
    QTest::newRow("gridLayout_3") << QStringList{"textBrowser"};
    QTest::newRow("horizontalLayout_2") << QStringList{
        "progressBar", "label_3", "lineEdit_filesize", "label_4", "lineEdit_checksum"};
    QTest::newRow("splitter") << QStringList{"pushButton_open", "pushButton_download"};
}

void tst_Form::layoutItems()
{
    QFETCH(QStringList, items);
    MainWindow window;
    QStringList actual;
    if (auto *splitter = window.findChild<QSplitter *>(QTest::currentDataTag())) {
        for (int i = 0; i < splitter->count(); ++i)
            actual << splitter->widget(i)->objectName();
    }
    if (auto *layout = window.findChild<QLayout *>(QTest::currentDataTag())) {
        for (int i = 0; i < layout->count(); ++i) {
            actual << nameOf(layout->itemAt(i));
            QCOMPARE(layout->itemAt(i)->alignment(), Qt::Alignment());
            if (auto *box = qobject_cast<QBoxLayout *>(layout))
                QCOMPARE(box->stretch(i), 0);
            if (auto *grid = qobject_cast<QGridLayout *>(layout)) {
                int row, column, rowSpan, columnSpan;
                grid->getItemPosition(i, &row, &column, &rowSpan, &columnSpan);
                QCOMPARE(QList<int>({row, column, rowSpan, columnSpan}), QList<int>({0, 0, 1, 1}));
            }
        }
    }
    QCOMPARE(actual, items);
}

void tst_Form::layoutSettings_data()
{
    QTest::addColumn<int>("margin");
    for (const char *grid : {"gridLayout", "gridLayout_2", "gridLayout_3"})
        QTest::newRow(grid) << 11;
    for (const char *nested :
         {"verticalLayout_2", "horizontalLayout", "verticalLayout", "verticalLayout_3",
          "horizontalLayout_3", "horizontalLayout_4", "horizontalLayout_2"})
        QTest::newRow(nested) << 0;
}

void tst_Form::layoutSettings()
{
    QFETCH(int, margin);
    MainWindow window;
    auto *layout = window.findChild<QLayout *>(QTest::currentDataTag());
    QVERIFY(layout);
    QCOMPARE(layout->spacing(), 6);
    QCOMPARE(layout->contentsMargins(), QMargins(margin, margin, margin, margin));
}

void tst_Form::sizePolicies_data()
{
    using P = QSizePolicy;
    QTest::addColumn<QSizePolicy>("expected");
    QTest::newRow("comboBox_serial") << policy(P::Preferred, P::Fixed, QComboBox());
    QTest::newRow("splitter") << policy(P::Maximum, P::Maximum, QSplitter());
    QTest::newRow("pushButton_open") << policy(P::Ignored, P::Ignored, QPushButton());
    QTest::newRow("pushButton_download") << policy(P::MinimumExpanding, P::Fixed, QPushButton());
    QTest::newRow("textBrowser") << policy(P::Maximum, P::Maximum, QTextBrowser());
    QTest::newRow("lineEdit_filesize") << policy(P::Maximum, P::Fixed, QLineEdit());
    QTest::newRow("lineEdit_checksum") << policy(P::Maximum, P::Fixed, QLineEdit());
    QTest::newRow("comboBox_bd") << QComboBox().sizePolicy();
    QTest::newRow("groupBox") << QGroupBox().sizePolicy();
    QTest::newRow("groupBox_2") << QGroupBox().sizePolicy();
    QTest::newRow("label") << QLabel().sizePolicy();
    QTest::newRow("label_2") << QLabel().sizePolicy();
    QTest::newRow("label_3") << QLabel().sizePolicy();
    QTest::newRow("label_4") << QLabel().sizePolicy();
    QTest::newRow("progressBar") << QProgressBar().sizePolicy();
}

void tst_Form::sizePolicies()
{
    QFETCH(QSizePolicy, expected);
    MainWindow window;
    auto *widget = window.findChild<QWidget *>(QTest::currentDataTag());
    QVERIFY(widget);
    QCOMPARE(widget->sizePolicy(), expected);
}

void tst_Form::properties_data()
{
    QTest::addColumn<QString>("objectName");
    QTest::addColumn<QByteArray>("property");
    QTest::addColumn<QVariant>("value");
    const auto row = [](const char *tag, const char *object, const char *property, QVariant value) {
        QTest::newRow(tag) << object << QByteArray(property) << value;
    };
    const auto rightCentred = QVariant::fromValue(Qt::Alignment(Qt::AlignRight | Qt::AlignVCenter));

    row("window title", "MainWindow", "windowTitle", "Lumedra(progByQMV_V1.1)");
    row("groupBox title", "groupBox", "title", "设置");
    row("label text", "label", "text", "串口");
    row("label_2 text", "label_2", "text", "波特率");
    row("pushButton_open text", "pushButton_open", "text", "打开文件");
    row("pushButton_download text", "pushButton_download", "text", "下载");
    row("groupBox_2 title", "groupBox_2", "title", "信息");
    row("label_3 text", "label_3", "text", "文件大小");
    row("label_4 text", "label_4", "text", "校验");

    row("window size", "MainWindow", "size", QSize(283, 200));
    row("menuBar geometry", "menuBar", "geometry", QRect(0, 0, 283, 23));
    row("label alignment", "label", "alignment", rightCentred);
    row("label_2 direction", "label_2", "layoutDirection", QVariant::fromValue(Qt::LeftToRight));
    row("label_2 alignment", "label_2", "alignment", rightCentred);
    row("splitter orientation", "splitter", "orientation", QVariant::fromValue(Qt::Horizontal));
    row("progressBar enabled", "progressBar", "enabled", true);
    row("progressBar value", "progressBar", "value", 0);
    row("progressBar text", "progressBar", "textVisible", true);
    row("filesize read-only", "lineEdit_filesize", "readOnly", true);
    row("checksum read-only", "lineEdit_checksum", "readOnly", true);
}

void tst_Form::properties()
{
    QFETCH(QString, objectName);
    QFETCH(QByteArray, property);
    QFETCH(QVariant, value);
    MainWindow window;
    QObject *target =
        objectName == window.objectName() ? &window : window.findChild<QObject *>(objectName);
    QVERIFY(target);
    const QVariant actual = target->property(property.constData());
    QCOMPARE(actual.userType(), value.userType());
    QCOMPARE(actual, value);
}

void tst_Form::windowChrome()
{
    MainWindow window;
    auto *menuBar = window.findChild<QMenuBar *>("menuBar");
    auto *toolBar = window.findChild<QToolBar *>("mainToolBar");
    QVERIFY(menuBar && toolBar);
    QCOMPARE(window.menuBar(), menuBar);
    QVERIFY(menuBar->actions().isEmpty());
    QVERIFY(toolBar->actions().isEmpty());
    QCOMPARE(window.toolBarArea(toolBar), Qt::TopToolBarArea);
    QVERIFY(!window.toolBarBreak(toolBar));
    // statusBar() would create one, so look for it instead.
    QCOMPARE(window.findChild<QStatusBar *>(), nullptr);
}

void tst_Form::label2StaysLeftToRight()
{
    QApplication::setLayoutDirection(Qt::RightToLeft);
    MainWindow window;
    QCOMPARE(window.findChild<QLabel *>("label")->layoutDirection(), Qt::RightToLeft);
    QCOMPARE(window.findChild<QLabel *>("label_2")->layoutDirection(), Qt::LeftToRight);
}

void tst_Form::objectName_data()
{
    QTest::addColumn<QString>("preset");
    QTest::addColumn<QString>("expected");
    QTest::newRow("unnamed") << QString() << "MainWindow";
    QTest::newRow("preset") << QStringLiteral("otherWindow") << QStringLiteral("otherWindow");
}

void tst_Form::objectName()
{
    QFETCH(QString, preset);
    QFETCH(QString, expected);
    QMainWindow window;
    window.setObjectName(preset);
    Ui::MainWindow form;
    form.setupUi(&window);
    QCOMPARE(window.objectName(), expected);
}

void tst_Form::buttonsBoundByName_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("opensDialog");
    QTest::addColumn<QString>("message");
    // Neither path needs a file or a port: a cancelled dialog, and a start with no image.
    QTest::newRow("open") << "pushButton_open" << true << "没有文件";
    QTest::newRow("download") << "pushButton_download" << false << "文件读取失败";
}

void tst_Form::buttonsBoundByName()
{
    QFETCH(QString, button);
    QFETCH(bool, opensDialog);
    QFETCH(QString, message);
    MainWindow window;
    auto *pushButton = window.findChild<QPushButton *>(button);
    auto *textBrowser = window.findChild<QTextBrowser *>("textBrowser");
    QVERIFY(pushButton && textBrowser);
    if (opensDialog)
        FileDialogAnswer::cancelNext();
    QTest::mouseClick(pushButton, Qt::LeftButton);
    QCOMPARE(textBrowser->toPlainText(), message);
}

QTEST_MAIN(tst_Form)
#include "tst_form.moc"
