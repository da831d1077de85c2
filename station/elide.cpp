#include "station/elide.h"

namespace
{
const QString Ellipsis = QStringLiteral("...");
constexpr int Context = 3; // kept on each side of where the names differ
} // namespace

SharedAffixes SharedAffixes::of(const QStringList &names)
{
    const QString first = names.isEmpty() ? QString() : names.first();
    SharedAffixes shared{int(first.size()), int(first.size())};
    int shortest = first.size();
    for (const QString &name : names) {
        int start = 0, end = 0;
        while (start < qMin(shared.start, int(name.size())) && name[start] == first[start])
            ++start;
        while (end < qMin(shared.end, int(name.size())) &&
               name[name.size() - 1 - end] == first[first.size() - 1 - end])
            ++end;
        shared = {start, end};
        shortest = qMin(shortest, int(name.size()));
    }
    shared.end = qMin(shared.end, shortest - shared.start);
    return shared;
}

QString elide(const QString &text, int width, const SharedAffixes &shared)
{
    if (text.size() <= width)
        return text;
    const int cut = Ellipsis.size();
    const int start = Context, startEnd = shared.start - Context; // the common start, less context
    const int end = text.size() - shared.end + Context, endEnd = text.size() - Context;
    const int room = qMax(0, startEnd - start), endRoom = qMax(0, endEnd - end);
    int excess = text.size() - width + cut;
    if (room >= excess)
        return text.left(startEnd - excess) + Ellipsis + text.mid(startEnd);
    if (endRoom >= excess)
        return text.left(end) + Ellipsis + text.mid(end + excess);
    excess += cut; // two cuts, around the part that differs
    if (room + endRoom >= excess && room > 0) {
        const int fromEnd = excess - room;
        return text.left(start) + Ellipsis + text.mid(startEnd, end - startEnd) + Ellipsis +
               text.mid(end + fromEnd);
    }
    const int keep = qMax(0, width - cut);
    return text.left(keep - keep / 2) + Ellipsis + text.right(keep / 2);
}
