#pragma once

#include <QByteArray>
#include <QString>

#include <array>

// The lines of a text memory map (Intel HEX, S-record): a record a line, a start character or
// two, then pairs of hexadecimal digits in either case. Blank lines are skipped, and a line's
// end may be LF or CRLF.
class RecordLines
{
public:
    // The most bytes a record holds: a count byte of 255 and what it does not count.
    static constexpr int MaxBytes = 260;

    explicit RecordLines(const QByteArray &text);

    // Moves to the next line that is not blank; false after the last.
    bool next();
    qint64 number() const { return line; } // from 1
    // The line's characters, without its end and trailing blanks.
    const char *text() const { return begin; }
    qint64 length() const { return stop - begin; }

    // The line's hexadecimal digits from character `skip` on, as bytes; false, with what is
    // wrong, for an odd count, a character that is no digit, or more than a record holds.
    bool decode(int skip, QString *error);
    const quint8 *bytes() const { return decoded.data(); }
    int count() const { return decodedCount; }

private:
    const char *at;
    const char *end;
    const char *begin = nullptr;
    const char *stop = nullptr;
    qint64 line = 0;
    std::array<quint8, MaxBytes> decoded{};
    int decodedCount = 0;
};
