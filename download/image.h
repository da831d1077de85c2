#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

struct ImageLoad;

// A program image as every board of a run gets it: its bytes, their checksum (what the header
// carries) and their SHA-256 (what the record keeps).
struct Image {
    QByteArray bytes;
    quint16 checksum = 0;
    QString path;      // absolute, for the record
    QByteArray sha256; // hex

    qint64 size() const { return bytes.size(); }

    static Image fromBytes(const QByteArray &bytes, const QString &path = QString());
    // Reads a whole image. Only a non-empty regular file within the size limit is one.
    static ImageLoad load(const QString &path);
};

struct ImageLoad {
    enum class Error { None, Missing, Unreadable, Empty, NotRegular, TooLarge };

    std::optional<Image> image; // set when error is None
    Error error = Error::None;
    QString message; // for the user, naming the file as given: "fw.bin is empty"
};

// The 16-bit checksum of an image: the low 16 bits of the byte sum.
quint16 imageChecksum(const QByteArray &bytes);
