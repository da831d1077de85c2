#pragma once

#include <QString>
#include <QVector>

// A benchmark's figures, each printed beside its target with whether it meets it, and a closing
// verdict line that counts them.
class Figures
{
public:
    enum class Bound { AtMost, AtLeast };

    // A share (0.05 for 5 %) or a ratio (1.2 for 1.2x), as `unit` says.
    enum class Unit { Percent, Times };

    // A figure that could not be measured is given as NaN: it meets no target.
    bool add(const QString &figure, double value, Bound bound, double target, Unit unit);
    // Prints the table and the verdict line; true when every figure meets its target.
    bool print() const;

private:
    struct Row {
        QString figure;
        double value;
        Bound bound;
        double target;
        Unit unit;
        bool held;
    };

    QVector<Row> rows;
};
