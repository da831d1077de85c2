#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

// What an image file holds: raw bytes from the loader's base address, or a memory map as a
// toolchain writes it.
enum class ImageFormat { Binary, IntelHex, SRecord, Elf };

// How an image file becomes the one contiguous image every board gets: its format (none: told by
// its content), the address the image starts at (none: the map's lowest), the byte between the
// map's regions, the size it is padded to, and the SHA-256 it must have. The command line's
// options and a job's keys share the names (keys()).
struct ImageSpec {
    static constexpr quint8 ErasedFlash = 0xFF;

    std::optional<ImageFormat> format;
    std::optional<quint64> base;
    quint8 fill = ErasedFlash;
    std::optional<qint64> size;
    QByteArray sha256; // the pin, lowercase hex; empty: not pinned

    // image-format, image-base, fill, image-size, image-sha256
    static const QStringList &keys();
    // Sets what `key` names from its text; false when it is wrong, calling the value `name` in
    // `error` as the caller spells it ("--fill", "fill").
    bool set(const QString &key, const QString &name, const QString &text, QString *error);

    static QString word(ImageFormat format); // as --image-format takes it: "ihex"
    static QString name(ImageFormat format); // as people call it: "Intel HEX"
    // The formats whose files say where their bytes go.
    static bool hasAddresses(ImageFormat format) { return format != ImageFormat::Binary; }
};
