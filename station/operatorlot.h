#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

#include <array>

// Who flashes a run's boards and for which lot (work order). A job fixes each, asks for it as
// the run starts (`ask`), or leaves it out; the command line or the window's Start dialog
// answers what is asked, and the command line may also override a fixed value. The run records
// both in the store and on every log line.
class OperatorLot
{
public:
    enum class Field { Operator, Lot };
    static constexpr int MaxLength = 100; // a name or a work order, not a paragraph
    static const QString AskWord;         // the job's value that asks at the start

    static QVector<Field> fields() { return {Field::Operator, Field::Lot}; }
    // The job's key and, after "--", the command line's option: "operator", "lot".
    static QString key(Field field);
    // Whether `text` can be recorded as `field`'s value; `name` goes before the error.
    static bool check(const QString &name, const QString &text, QString *error);

    // The job's value: `ask`, or a value as check() takes it.
    bool setFromJob(Field field, const QString &text, QString *error);
    // An answer from the command line or the Start dialog: fills an ask, or overrides.
    bool answer(Field field, const QString &text, const QString &name, QString *error);
    // The job asks for `field` as the run starts.
    bool asks(Field field) const { return entry(field).asked; }
    // Empty: none, or asked and not answered yet.
    QString value(Field field) const { return entry(field).value; }
    // What the job asks and nobody has answered: a run cannot start before they are.
    QVector<Field> unanswered() const;
    // "the operator and the lot": what is unanswered, in words.
    static QString inWords(const QVector<Field> &fields);

private:
    struct Entry {
        QString value;
        bool asked = false;
    };
    const Entry &entry(Field field) const { return entries[std::size_t(field)]; }
    Entry &entry(Field field) { return entries[std::size_t(field)]; }

    std::array<Entry, 2> entries;
};
