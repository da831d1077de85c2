#include "station/operatorlot.h"

const QString OperatorLot::AskWord = QStringLiteral("ask");

QString OperatorLot::key(Field field)
{
    return field == Field::Operator ? QStringLiteral("operator") : QStringLiteral("lot");
}

bool OperatorLot::check(const QString &name, const QString &text, QString *error)
{
    if (text.trimmed().isEmpty()) {
        *error = name + " needs a value";
        return false;
    }
    if (text.size() > MaxLength) {
        *error = QString("%1 '%2...' is longer than %3 characters")
                     .arg(name, text.left(MaxLength / 5))
                     .arg(MaxLength);
        return false;
    }
    // A scanner's stray tab or a pasted line break would split the log's and the report's lines.
    for (const QChar c : text)
        if (c.category() == QChar::Other_Control) {
            *error = QString("%1 '%2' holds a control character").arg(name, text.simplified());
            return false;
        }
    return true;
}

bool OperatorLot::setFromJob(Field field, const QString &text, QString *error)
{
    Entry &set = entry(field);
    set = Entry();
    if (text == AskWord) {
        set.asked = true;
        return true;
    }
    if (!check(key(field), text, error))
        return false;
    set.value = text.trimmed();
    return true;
}

bool OperatorLot::answer(Field field, const QString &text, const QString &name, QString *error)
{
    // Only a job asks; an answer is the value itself.
    if (text == AskWord) {
        *error = QString("%1 '%2' is the job's word for asking at the start: give the %3 itself")
                     .arg(name, text, key(field));
        return false;
    }
    if (!check(name, text, error))
        return false;
    entry(field).value = text.trimmed();
    return true;
}

QVector<OperatorLot::Field> OperatorLot::unanswered() const
{
    QVector<Field> open;
    for (const Field field : fields())
        if (asks(field) && value(field).isEmpty())
            open << field;
    return open;
}

QString OperatorLot::inWords(const QVector<Field> &fields)
{
    QStringList words;
    for (const Field field : fields)
        words << "the " + key(field);
    return words.join(" and ");
}
