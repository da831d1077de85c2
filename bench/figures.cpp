#include "bench/figures.h"

#include <cmath>
#include <cstdio>

namespace
{
QString amount(double value, Figures::Unit unit)
{
    if (std::isnan(value))
        return "none";
    if (unit == Figures::Unit::Percent)
        return QString::number(value * 100, 'f', 2) + " %";
    return QString::number(value, 'f', 3) + "x";
}
} // namespace

bool Figures::add(const QString &figure, double value, Bound bound, double target, Unit unit)
{
    const bool held =
        !std::isnan(value) && (bound == Bound::AtMost ? value <= target : value >= target);
    rows << Row{figure, value, bound, target, unit, held};
    return held;
}

bool Figures::print() const
{
    std::printf("%-62s %10s %12s  %s\n", "figure", "measured", "target", "verdict");
    int held = 0;
    for (const Row &row : rows) {
        const QString target =
            (row.bound == Bound::AtMost ? "<= " : ">= ") + amount(row.target, row.unit);
        std::printf("%-62s %10s %12s  %s\n", qPrintable(row.figure),
                    qPrintable(amount(row.value, row.unit)), qPrintable(target),
                    row.held ? "meets" : "MISSES");
        held += row.held;
    }
    std::printf("verdict: %d of %d figures meet their target\n", held, int(rows.size()));
    return held == rows.size();
}
