#include "records/boardrecord.h"

#include <QJsonArray>

QString BoardRecord::fateName(Fate fate)
{
    switch (fate) {
    case Fate::Used:
        return "used";
    case Fate::Voided:
        return "void";
    case Fate::Returned:
        return "returned";
    case Fate::Kept:
        return "kept";
    case Fate::None:
        break;
    }
    return {};
}

QJsonObject BoardRecord::toJson() const
{
    QJsonArray pools;
    for (const Number &number : numbers)
        pools.append(QJsonObject{{"name", number.name},
                                 {"pool", number.pool},
                                 {"index", number.index},
                                 {"text", number.text},
                                 {"fate", int(number.fate)}});
    return {{"numbers", pools},{"run", run},
            {"slot", slot},
            {"board", board},
            {"vid", vendorId},
            {"pid", productId},
            {"usb_serial", usbSerial},
            {"location", location},
            {"board_serial", boardSerial},
            {"pool", pool},
            {"index", index},
            {"fate", int(fate)},
            {"result", result},
            {"reason", reason},
            {"attempts", attempts},
            {"seconds", seconds},
            {"time", time},
            {"received_sha256", receivedSha256},
            {"label", label},
            {"reflash", reflash}};
}

BoardRecord BoardRecord::fromJson(const QJsonObject &o)
{
    BoardRecord r;
    r.run = o["run"].toVariant().toLongLong();
    r.slot = o["slot"].toInt();
    r.board = o["board"].toInt();
    r.vendorId = o["vid"].toString();
    r.productId = o["pid"].toString();
    r.usbSerial = o["usb_serial"].toString();
    r.location = o["location"].toString();
    // A spool written before the key was named for what it holds says "serial".
    r.boardSerial = o.contains("board_serial") ? o["board_serial"].toString() : o["serial"].toString();
    r.pool = o["pool"].toVariant().toLongLong();
    r.index = o["index"].toVariant().toLongLong();
    r.fate = Fate(o["fate"].toInt());
    r.result = o["result"].toString();
    r.reason = o["reason"].toString();
    r.attempts = o["attempts"].toInt();
    r.seconds = o["seconds"].toDouble();
    r.time = o["time"].toString();
    r.receivedSha256 = o["received_sha256"].toString();
    for (const QJsonValue &value : o["numbers"].toArray()) {
        const QJsonObject number = value.toObject();
        r.numbers << Number{number["name"].toString(), number["pool"].toVariant().toLongLong(),
                            number["index"].toVariant().toLongLong(), number["text"].toString(),
                            Fate(number["fate"].toInt())};
    }
    r.label = o["label"].toString();
    r.reflash = o["reflash"].toBool();
    return r;
}
