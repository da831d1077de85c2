#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// How a number is written into an image's field: binary of 2 to 8 bytes in either byte order,
// decimal or BCD text after an optional prefix, or a MAC address as text. The one place that
// knows each format's width, its largest number and the number as a person reads it.
class NumberFormat
{
public:
    enum class Kind { Little, Big, Decimal, Bcd, Mac };

    // le16, le32, le48, le64, be16, be32, be48, be64, dec:WIDTH, bcd:WIDTH, mac (colons),
    // mac:SEP (one punctuation character) or mac:none.
    static std::optional<NumberFormat> parse(const QString &text, QString *error);
    // Decimal, hexadecimal after 0x, or six hexadecimal pairs between colons or hyphens.
    static bool number(const QString &text, quint64 *value);

    Kind kind() const { return what; }
    int width() const { return bytes; }
    const QString &name() const { return written; }
    bool takesPrefix() const { return what == Kind::Decimal || what == Kind::Bcd; }
    // A MAC address, as text or in 48 bits: read as one rather than as a count.
    bool isAddress() const { return what == Kind::Mac || (bytes == 6 && !takesPrefix()); }
    // The largest number the field holds after a prefix of `prefixSize` bytes.
    quint64 largest(int prefixSize) const;
    QByteArray encode(quint64 number, const QByteArray &prefix) const;
    // Prefix and digits for the text formats, the address for 48 bits, decimal else.
    QString text(quint64 number, const QByteArray &prefix) const;

private:
    NumberFormat() = default;
    QString macText(quint64 number, QChar separator) const;

    Kind what = Kind::Little;
    int bytes = 0;
    QString written;
    QChar separator; // a MAC's; null: none
};
