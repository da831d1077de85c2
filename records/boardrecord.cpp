#include "records/boardrecord.h"

QString BoardRecord::fateName(Fate fate)
{
    switch (fate) {
    case Fate::Used:
        return "used";
    case Fate::Voided:
        return "void";
    case Fate::Returned:
        return "returned";
    case Fate::None:
        break;
    }
    return {};
}

QJsonObject BoardRecord::toJson() const
{
    return {{"run", run},
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
    r.label = o["label"].toString();
    r.reflash = o["reflash"].toBool();
    return r;
}
