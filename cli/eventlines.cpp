#include "cli/eventlines.h"

#include "download/units.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace
{
constexpr int PlainStep = 10; // plain output marks every 10 %
}

EventLines::EventLines(const Setup &setup, const Targets &targets)
    : setup(setup), targets(targets), marked(targets.size(), 0)
{
}

QByteArray EventLines::line(const BoardEvent &event)
{
    if (setup.quiet && event.kind != BoardEvent::Kind::Result)
        return {};
    return setup.json ? json(event) : plain(event);
}

QByteArray EventLines::plain(const BoardEvent &event)
{
    QString text;
    switch (event.kind) {
    case BoardEvent::Kind::Waiting:
        // Once as a slot starts waiting, and whenever the reason it cannot go on changes.
        if (!event.notice.isEmpty())
            text = event.notice;
        else if (event.phase == SlotPhase::Label)
            text = "scan the board's label";
        else if (event.phase == SlotPhase::Refused)
            text = event.reason;
        else if (!event.reason.isEmpty())
            text = "cannot open the port: " + event.reason + "; trying again";
        else if (event.seconds > 0 && !setup.station)
            return {};
        else if (event.path.isEmpty())
            text = "no port yet; looking for one";
        else
            text = QStringLiteral("waiting for the board (power it on or reset it)");
        break;
    case BoardEvent::Kind::Started:
        text = QString("started, %1 bytes, checksum %2").arg(setup.bytes).arg(setup.checksum);
        if (!event.serial.isEmpty())
            text += ", serial " + event.serial;
        break;
    case BoardEvent::Kind::Attempt:
        text = QString("attempt %1 of %2").arg(event.attempt).arg(setup.attempts);
        break;
    case BoardEvent::Kind::Progress: {
        // Each 10 % passed, short of the result; a new attempt passes them again.
        const int step = event.percent / PlainStep;
        const bool passed = step > marked[event.target] && event.percent < FullPercent;
        marked[event.target] = step;
        if (!passed)
            return {};
        text = QString("%1 %").arg(step * PlainStep);
        break;
    }
    case BoardEvent::Kind::Result:
        text = QString("%1%2 after %3 s")
                   .arg(outcomeName(event.outcome),
                        event.reason.isEmpty() ? QString() : ": " + event.reason)
                   .arg(event.seconds, 0, 'f', 2);
        if (event.attempt > 1)
            text += QString(", %1 attempts").arg(event.attempt);
        if (!event.serial.isEmpty())
            text += ", serial " + event.serial;
        break;
    case BoardEvent::Kind::Left:
        text = QString("board %1 left").arg(event.board);
        break;
    case BoardEvent::Kind::Labelled:
        text = QString(event.reflash ? "label %1, flashed again keeping its numbers" : "label %1")
                   .arg(event.label);
        break;
    }
    QString who = targets[event.target].given;
    if (setup.station && event.board > 0 && event.kind != BoardEvent::Kind::Left)
        who += QString(": board %1 on %2").arg(event.board).arg(event.path);
    return (who + ": " + text + "\n").toLocal8Bit();
}

QByteArray EventLines::json(const BoardEvent &event) const
{
    QJsonObject object{{"port", targets[event.target].given}};
    if (setup.station) {
        object.insert("slot", event.target + 1);
        if (event.board > 0)
            object.insert("board", event.board);
        if (!event.path.isEmpty())
            object.insert("path", event.path);
    }
    if (!event.serial.isEmpty())
        object.insert("board_serial", event.serial);
    switch (event.kind) {
    case BoardEvent::Kind::Waiting:
        object.insert("event", "waiting");
        object.insert("seconds", qRound(event.seconds * MsPerSecond) / double(MsPerSecond));
        if (!event.reason.isEmpty() || !event.notice.isEmpty())
            object.insert("reason", event.notice.isEmpty() ? event.reason : event.notice);
        else if (event.phase == SlotPhase::Label)
            object.insert("reason", "scan the board's label");
        break;
    case BoardEvent::Kind::Started:
        object.insert("event", "started");
        object.insert("bytes", setup.bytes);
        object.insert("checksum", setup.checksum);
        break;
    case BoardEvent::Kind::Attempt:
        object.insert("event", "attempt");
        object.insert("attempt", event.attempt);
        object.insert("of", setup.attempts);
        break;
    case BoardEvent::Kind::Progress:
        object.insert("event", "progress");
        object.insert("percent", event.percent);
        break;
    case BoardEvent::Kind::Result:
        object.insert("event", "result");
        object.insert("result", outcomeName(event.outcome));
        object.insert("reason", event.reason);
        object.insert("seconds", qRound(event.seconds * MsPerSecond) / double(MsPerSecond));
        object.insert("attempts", event.attempt);
        break;
    case BoardEvent::Kind::Left:
        object.insert("event", "left");
        break;
    case BoardEvent::Kind::Labelled:
        object.insert("event", "label");
        object.insert("reflash", event.reflash);
        break;
    }
    if (!event.label.isEmpty())
        object.insert("board_label", event.label);
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + "\n";
}
