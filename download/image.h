#pragma once

#include "download/imagespec.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <optional>

// A program image as every board of a run gets it: its bytes, their checksum (what the header
// carries) and their SHA-256 (what the record keeps); and where they came from: the file's
// format, the address of the first byte, the byte that filled the gaps and the regions the file
// gave, so that an image from a memory map can be told and rebuilt.
struct Image {
    // Bytes the file placed, from `address` on; between regions the image holds the fill.
    struct Region {
        quint64 address = 0;
        qint64 size = 0;
    };

    QByteArray bytes;
    quint16 checksum = 0;
    QString path;      // absolute, for the record
    QByteArray sha256; // hex
    ImageFormat format = ImageFormat::Binary;
    quint64 base = 0;
    quint8 fill = ImageSpec::ErasedFlash;
    QVector<Region> regions;
    bool pinned = false; // its SHA-256 was checked against the one the run was given

    qint64 size() const { return bytes.size(); }

    static Image fromBytes(const QByteArray &bytes, const QString &path = QString());
    // Reads a whole image. Only a non-empty regular file within the size limit is one; a memory
    // map becomes one image from the base to its highest address, its gaps filled.
    // `error` names the file as given: "fw.bin is empty".
    static std::optional<Image> load(const QString &path, const ImageSpec &spec, QString *error);
};

// The 16-bit checksum of an image: the low 16 bits of the byte sum.
quint16 imageChecksum(const QByteArray &bytes);
