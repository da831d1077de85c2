#pragma once

#include <QJsonObject>
#include <QString>
#include <QVector>

// One board's line in the store, and what becomes of the serial number it was given. Travels
// through the spool as JSON while the store is out of reach.
struct BoardRecord {
    // What the board's result does to its number.
    // Kept: a reflashed board's earlier number, which its result leaves as it was.
    enum class Fate { None, Used, Voided, Returned, Kept };
    // One pool's number the board got.
    struct Number {
        QString name; // the pool's: "serial" for [serial], NAME for [serial.NAME]
        qint64 pool = 0;
        qint64 index = -1;
        QString text = {};
        Fate fate = Fate::None;
    };

    qint64 run = 0;
    int slot = 0;
    int board = 0;
    QString vendorId = {}, productId = {}, usbSerial = {}, location = {};
    QString boardSerial = {}; // the board's number as text; empty without a scheme
    qint64 pool = 0;
    qint64 index = -1;
    Fate fate = Fate::None;
    QString result = {}, reason = {};
    int attempts = 0;
    double seconds = 0;
    QString time = {}; // UTC, ISO 8601 with milliseconds
    QString receivedSha256 = {};
    // Every pool's number, [serial]'s too: what the board is found by.
    QVector<Number> numbers = {};
    QString label = {};   // the board's own printed label; empty: none scanned
    bool reflash = false; // the label was flashed before: the board kept its earlier numbers

    QJsonObject toJson() const;
    static BoardRecord fromJson(const QJsonObject &object);
    static QString fateName(Fate fate); // as the store keeps it: used, void, returned, kept
};
