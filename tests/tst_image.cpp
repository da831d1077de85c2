#include "download/image.h"

#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

class tst_Image : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void load_data();
    void load();

private:
    QTemporaryDir dir;
};

using Error = ImageLoad::Error;
Q_DECLARE_METATYPE(ImageLoad::Error)

void tst_Image::initTestCase()
{
    QVERIFY(dir.isValid());
    const auto write = [&](const char *name, const QByteArray &bytes) {
        QFile file(dir.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    };
    write("fw.bin", "123456789");
    write("empty.bin", "");
    write("locked.bin", "x");
    QVERIFY(QFile::setPermissions(dir.filePath("locked.bin"), {}));
    QVERIFY(::mkfifo(QFile::encodeName(dir.filePath("fifo")).constData(), 0600) == 0);
    // Sparse: the size is refused before anything is read.
    QFile big(dir.filePath("big.bin"));
    QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(qint64(3) << 30));
}

void tst_Image::load_data()
{
    QTest::addColumn<QString>("name"); // in the test's folder, or an absolute path
    QTest::addColumn<Error>("error");
    QTest::addColumn<QString>("message");
    const auto row = [](const char *tag, const char *name, Error error, const char *message) {
        QTest::newRow(tag) << QString(name) << error << QString(message);
    };
    row("an image", "fw.bin", Error::None, "");
    row("missing", "absent.bin", Error::Missing, "cannot read DIR/absent.bin: No such file");
    row("empty", "empty.bin", Error::Empty, "DIR/empty.bin is empty");
    row("a directory", "", Error::NotRegular, "DIR/ is not a regular file (a directory)");
    row("a device", "/dev/zero", Error::NotRegular,
        "/dev/zero is not a regular file (a character device)");
    row("a FIFO", "fifo", Error::NotRegular, "DIR/fifo is not a regular file (a FIFO)");
    row("3 GiB", "big.bin", Error::TooLarge,
        "DIR/big.bin is too large: 3221225472 bytes, the limit is 2146435072 bytes");
    if (::geteuid() != 0) // root reads whatever the mode says
        row("unreadable", "locked.bin", Error::Unreadable,
            "cannot read DIR/locked.bin: Permission denied");
}

void tst_Image::load()
{
    QFETCH(QString, name);
    QFETCH(Error, error);
    QFETCH(QString, message);

    const QString path = name.startsWith('/') ? name : dir.path() + '/' + name;
    message.replace("DIR", dir.path());
    const ImageLoad load = Image::load(path);
    QCOMPARE(load.error, error);
    QCOMPARE(load.image.has_value(), error == Error::None);
    QVERIFY2(message.isEmpty() ? load.message.isEmpty() : load.message.startsWith(message),
             qPrintable(load.message));
    if (load.image) {
        // The checksum the header carries, the digest the record keeps.
        QCOMPARE(load.image->size(), 9);
        QCOMPARE(load.image->checksum, quint16(0x01dd));
        QCOMPARE(load.image->sha256,
                 QByteArray("15e2b0d3c33891ebb0f1ef609ec419420c20e320ce94c65fbc8c3312448eb225"));
        QCOMPARE(load.image->path, path);
    }
}

QTEST_GUILESS_MAIN(tst_Image)
#include "tst_image.moc"
