#include "testsupport.h"
#include "ui/mainwindow.h"

#include <QSerialPortInfo>

namespace
{

struct FormObject {
    const char *name;
    const char *className;
    const char *parent; // once the form is built: nested layouts belong to their parent layout
    const char *holder; // the layout or splitter that places it
};

// In order of creation, which is also the order within each holder.
const FormObject FormObjects[] = {
    {"centralWidget", "QWidget", "MainWindow", ""},
    {"gridLayout", "QGridLayout", "centralWidget", ""},
    {"verticalLayout_2", "QVBoxLayout", "gridLayout", "gridLayout"},
    {"horizontalLayout", "QHBoxLayout", "verticalLayout_2", "verticalLayout_2"},
    {"verticalLayout", "QVBoxLayout", "horizontalLayout", "horizontalLayout"},
    {"groupBox", "QGroupBox", "centralWidget", "verticalLayout"},
    {"gridLayout_2", "QGridLayout", "groupBox", ""},
    {"verticalLayout_3", "QVBoxLayout", "gridLayout_2", "gridLayout_2"},
    {"horizontalLayout_3", "QHBoxLayout", "verticalLayout_3", "verticalLayout_3"},
    {"label", "QLabel", "groupBox", "horizontalLayout_3"},
    {"comboBox_serial", "QComboBox", "groupBox", "horizontalLayout_3"},
    {"horizontalLayout_4", "QHBoxLayout", "verticalLayout_3", "verticalLayout_3"},
    {"label_2", "QLabel", "groupBox", "horizontalLayout_4"},
    {"comboBox_bd", "QComboBox", "groupBox", "horizontalLayout_4"},
    {"splitter", "QSplitter", "centralWidget", "verticalLayout"},
    {"pushButton_open", "QPushButton", "splitter", "splitter"},
    {"pushButton_download", "QPushButton", "splitter", "splitter"},
    {"groupBox_2", "QGroupBox", "centralWidget", "horizontalLayout"},
    {"gridLayout_3", "QGridLayout", "groupBox_2", ""},
    {"textBrowser", "QTextBrowser", "groupBox_2", "gridLayout_3"},
    {"horizontalLayout_2", "QHBoxLayout", "verticalLayout_2", "verticalLayout_2"},
    {"progressBar", "QProgressBar", "centralWidget", "horizontalLayout_2"},
    {"label_3", "QLabel", "centralWidget", "horizontalLayout_2"},
    {"lineEdit_filesize", "QLineEdit", "centralWidget", "horizontalLayout_2"},
    {"label_4", "QLabel", "centralWidget", "horizontalLayout_2"},
    {"lineEdit_checksum", "QLineEdit", "centralWidget", "horizontalLayout_2"},
    {"menuBar", "QMenuBar", "MainWindow", ""},
    {"mainToolBar", "QToolBar", "MainWindow", ""},
};

} // namespace

class tst_Form : public QObject
{
    Q_OBJECT

private slots:
    void objectTree();
    void properties_data();
    void properties();
    void construction();
    void label2StaysLeftToRight();
};

void tst_Form::objectTree()
{
    // Objects made with a parent join its children as they are created, nested layouts as they
    // are inserted: either way, siblings appear in table order, as do the items of each holder.
    MainWindow window;
    QHash<QObject *, QStringList> siblings;
    QMap<QString, QStringList> placed;
    for (const FormObject &o : FormObjects) {
        QCOMPARE(window.findChildren<QObject *>(o.name).size(), 1);
        QObject *object = window.findChild<QObject *>(o.name);
        QCOMPARE(object->metaObject()->className(), o.className);
        QVERIFY2(object->parent(), o.name);
        QCOMPARE(object->parent()->objectName(), QString(o.parent));
        // A splitter restacks its widgets: their order is checked through the splitter.
        if (!qobject_cast<QSplitter *>(object->parent()))
            siblings[object->parent()] << o.name;
        if (*o.holder)
            placed[o.holder] << o.name;
    }
    for (auto it = siblings.cbegin(); it != siblings.cend(); ++it) {
        QStringList actual;
        for (const QObject *child : it.key()->children())
            if (it.value().contains(child->objectName()))
                actual << child->objectName();
        QCOMPARE(actual, it.value());
    }
    for (auto it = placed.cbegin(); it != placed.cend(); ++it) {
        QStringList actual;
        if (auto *splitter = window.findChild<QSplitter *>(it.key())) {
            for (int i = 0; i < splitter->count(); ++i)
                actual << splitter->widget(i)->objectName();
        }
        if (auto *layout = window.findChild<QLayout *>(it.key())) {
            // The grids are the layouts set on widgets and keep the default margins; nested
            // layouts have none.
            const int margin = qobject_cast<QGridLayout *>(layout) ? 11 : 0;
            QVERIFY2(layout->spacing() == 6, qPrintable(it.key()));
            QVERIFY2(layout->contentsMargins() == QMargins(margin, margin, margin, margin),
                     qPrintable(it.key()));
            for (int i = 0; i < layout->count(); ++i) {
                QLayoutItem *item = layout->itemAt(i);
                QObject *held = item->widget();
                if (!held)
                    held = item->layout();
                actual << (held ? held->objectName() : QStringLiteral("<spacer>"));
                QCOMPARE(item->alignment(), Qt::Alignment());
                if (auto *box = qobject_cast<QBoxLayout *>(layout))
                    QCOMPARE(box->stretch(i), 0);
                // Each grid holds one item, in its only cell.
                if (auto *grid = qobject_cast<QGridLayout *>(layout))
                    QVERIFY(grid->itemAtPosition(0, 0) == item &&
                            grid->rowCount() + grid->columnCount() == 2);
            }
        }
        QCOMPARE(actual, it.value());
    }
}

void tst_Form::properties_data()
{
    using P = QSizePolicy;
    QTest::addColumn<QString>("objectName");
    QTest::addColumn<QByteArray>("property");
    QTest::addColumn<QVariant>("value");
    const auto row = [](const char *object, const char *property, const QVariant &value) {
        QTest::addRow("%s %s", object, property) << object << QByteArray(property) << value;
    };
    const auto rightCentred = QVariant::fromValue(Qt::Alignment(Qt::AlignRight | Qt::AlignVCenter));

    row("MainWindow", "windowTitle", "Lumedra(progByQMV_V1.1)");
    row("groupBox", "title", "设置");
    row("label", "text", "串口");
    row("label_2", "text", "波特率");
    row("pushButton_open", "text", "打开文件");
    row("pushButton_download", "text", "下载");
    row("groupBox_2", "title", "信息");
    row("label_3", "text", "文件大小");
    row("label_4", "text", "校验");
    row("MainWindow", "size", QSize(283, 200));
    row("menuBar", "geometry", QRect(0, 0, 283, 23));
    row("label", "alignment", rightCentred);
    row("label_2", "alignment", rightCentred);
    row("label_2", "layoutDirection", QVariant::fromValue(Qt::LeftToRight));
    row("splitter", "orientation", QVariant::fromValue(Qt::Horizontal));
    row("progressBar", "textVisible", true);
    row("lineEdit_filesize", "readOnly", true);
    row("lineEdit_checksum", "readOnly", true);

    row("comboBox_serial", "sizePolicy", P(P::Preferred, P::Fixed));
    row("splitter", "sizePolicy", P(P::Maximum, P::Maximum));
    row("pushButton_open", "sizePolicy", P(P::Ignored, P::Ignored));
    row("pushButton_download", "sizePolicy", P(P::MinimumExpanding, P::Fixed));
    row("textBrowser", "sizePolicy", P(P::Maximum, P::Maximum));
    row("lineEdit_filesize", "sizePolicy", P(P::Maximum, P::Fixed));
    row("lineEdit_checksum", "sizePolicy", P(P::Maximum, P::Fixed));
    row("comboBox_bd", "sizePolicy", QComboBox().sizePolicy());
    row("progressBar", "sizePolicy", QProgressBar().sizePolicy());
    for (const char *name : {"groupBox", "groupBox_2"})
        row(name, "sizePolicy", QGroupBox().sizePolicy());
    for (const char *name : {"label", "label_2", "label_3", "label_4"})
        row(name, "sizePolicy", QLabel().sizePolicy());

    // The state the window starts in.
    row("progressBar", "minimum", 0);
    row("progressBar", "maximum", 100);
    row("progressBar", "value", 0);
    row("comboBox_bd", "currentText", "115200");
    row("lineEdit_filesize", "text", QString());
    row("lineEdit_checksum", "text", QString());
    row("textBrowser", "plainText", QString());
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

void tst_Form::construction()
{
    MainWindow window;
    QCOMPARE(controls(window), Idle);
    auto *menuBar = window.findChild<QMenuBar *>("menuBar");
    auto *toolBar = window.findChild<QToolBar *>("mainToolBar");
    QCOMPARE(window.menuBar(), menuBar);
    QCOMPARE(window.toolBarArea(toolBar), Qt::TopToolBarArea);
    // statusBar() would create one, so look for it instead.
    QCOMPARE(window.findChild<QStatusBar *>(), nullptr);

    auto *ports = window.findChild<QComboBox *>("comboBox_serial");
    auto *rates = window.findChild<QComboBox *>("comboBox_bd");
    QCOMPARE(ports->count(), QSerialPortInfo::availablePorts().size());
    const QList<qint32> standard = QSerialPortInfo::standardBaudRates();
    QCOMPARE(rates->count(), standard.size());
    for (int i = 0; i < standard.size(); ++i)
        QCOMPARE(rates->itemText(i), QString::number(standard[i]));
}

void tst_Form::label2StaysLeftToRight()
{
    QApplication::setLayoutDirection(Qt::RightToLeft);
    MainWindow window;
    QCOMPARE(window.findChild<QLabel *>("label")->layoutDirection(), Qt::RightToLeft);
    QCOMPARE(window.findChild<QLabel *>("label_2")->layoutDirection(), Qt::LeftToRight);
    QApplication::setLayoutDirection(Qt::LeftToRight);
}

QTEST_MAIN(tst_Form)
#include "tst_form.moc"
