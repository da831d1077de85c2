#pragma once

#include <QByteArray>
#include <QString>

#include <array>

class MemoryMap;

// The lines of a text memory map (Intel HEX, S-record): a record a line, a start character or
// two, then pairs of hexadecimal digits in either case, the last pair a checksum. Blank lines are
// skipped, and a line may end in LF or CRLF. Every error names the file and the line, as the map
// names them.
class RecordLines
{
public:
    // The most bytes a record holds: a count byte of 255 and what it does not count.
    static constexpr int MaxBytes = 260;

    RecordLines(const QByteArray &text, const MemoryMap &map);

    // Moves to the next line that is not blank; false after the last.
    bool next();
    // The line's characters, without its end and trailing blanks.
    const char *text() const { return begin; }
    qint64 length() const { return stop - begin; }
    qint64 number() const { return line; } // from 1

    // The line's hexadecimal digits from character `skip` on, as bytes; refuses an odd count, a
    // character that is no digit, and more than a record holds.
    bool decode(int skip, QString *error);
    const quint8 *bytes() const { return decoded.data(); }
    int count() const { return decodedCount; }
    // The record's bytes before its checksum, added up.
    quint8 sum() const;
    // The record's last byte is the checksum its bytes need; `address` is the record's.
    bool checksum(quint8 needed, quint64 address, QString *error) const;

    // The current record is read, and was at `address`; after an end record no other may come.
    void read(quint64 address, bool end);
    bool ended() const { return endRead; }
    // The file had its end record, `endName` as the format calls it.
    bool finished(const QString &endName, QString *error) const;

    bool fail(const QString &reason, QString *error) const;

private:
    const MemoryMap &map;
    const char *at;
    const char *textEnd;
    const char *begin = nullptr;
    const char *stop = nullptr;
    qint64 line = 0;
    std::array<quint8, MaxBytes> decoded{};
    int decodedCount = 0;
    bool endRead = false;
    qint64 lastLine = 0;
    quint64 lastAddress = 0;
};
