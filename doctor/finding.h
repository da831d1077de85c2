#pragma once

#include <QString>

// How bad a port's state is: a finding's weight, and a port's verdict (its worst finding).
enum class Verdict { Ok, Warning, Problem };

QString verdictName(Verdict verdict);

// One thing the doctor found about a port, in a sentence, with the command that fixes it.
struct Finding {
    enum class Topic {
        Node,
        Names,
        Identity,
        Access,
        Holders,
        Exclusive,
        Lock,
        ModemManager,
        Brltty,
        Latency,
        ModemLines
    };

    Topic topic = Topic::Node;
    Verdict severity = Verdict::Ok;
    QString text;
    QString fix; // a command to copy, or empty
    // Why an open of the port fails, when this finding explains it; empty otherwise.
    QString reason;

    static QString topicName(Topic topic);
};
