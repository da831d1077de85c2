#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

#include <optional>

// Drives an adapter's DTR and RTS lines to reset a board into its loader: steps such as
// "D1,R1,W100,D0,W50,R0" (D and R assert with 1 and release with 0, W waits milliseconds), or a
// named preset for a usual circuit.
class ResetSequence
{
public:
    static constexpr int MaxSteps = 32;
    static constexpr int MaxWaitMs = 10000;

    // A preset's name or a sequence; none, with `error` set, when the text is neither.
    static std::optional<ResetSequence> parse(const QString &text, QString *error);
    static QStringList presetNames();

    // Runs the steps on an open port; false with `error` set when a line cannot be driven.
    bool run(int fd, QString *error) const;
    // False for a port whose driver has no modem lines: pseudo-terminals, some adapters.
    static bool hasModemLines(int fd);

private:
    struct Step {
        enum class Kind { Dtr, Rts, Wait };
        Kind kind;
        int value; // 1 asserts, 0 releases; milliseconds for a wait
    };

    QVector<Step> m_steps;
};
