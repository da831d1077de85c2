#pragma once

#include "doctor/finding.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QVector>

// Everything the doctor found about one port, and its verdict: the worst of its findings.
struct Diagnosis {
    QString port;   // as given
    QString device; // the node it names, e.g. /dev/ttyUSB0; empty when it names none
    Verdict verdict = Verdict::Ok;
    QVector<Finding> findings;
    QString byPath;
    QStringList byId;
    QString vendorId;
    QString productId;
    QString serial;
    QString driver;

    void add(const Finding &finding);
    // Why an open of the port fails, in one sentence: the first finding that explains it, in
    // the order the checks run (the node, access, holders, locks); empty when none does.
    QString reason() const;
    QJsonObject toJson() const;
};
