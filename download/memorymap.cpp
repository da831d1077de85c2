#include "download/memorymap.h"

#include "download/imagefile.h"

#include <cstring>
#include <limits>

namespace
{
constexpr quint64 Top32 = 0xFFFFFFFF;
} // namespace

MemoryMap::MemoryMap(const QString &file, Unit unit) : file(file), unit(unit), recent(runs.end()) {}

bool MemoryMap::add(quint64 address, const char *data, qint64 size, qint64 where, QString *error)
{
    if (size <= 0)
        return true;
    // Every run ends inside the address space, so that its end is an address too.
    if (quint64(size) > std::numeric_limits<quint64>::max() - address) {
        *error = QString("%1: %2 bytes at %3 run past the end of the address space")
                     .arg(at(where))
                     .arg(size)
                     .arg(MemoryMap::address(address));
        return false;
    }
    const quint64 end = address + quint64(size);
    if (recent != runs.end() && recent->first + quint64(recent->second.bytes.size()) == address) {
        const auto next = std::next(recent);
        if (next == runs.end() || next->first > end) {
            recent->second.bytes.append(data, int(size));
            recent->second.last = where;
            return true;
        }
    }

    // The runs this piece overlaps or adjoins, from the last one that starts at or before it.
    auto from = runs.upper_bound(address);
    if (from != runs.begin()) {
        const auto before = std::prev(from);
        if (before->first + quint64(before->second.bytes.size()) >= address)
            from = before;
    }
    auto to = from;
    for (; to != runs.end() && to->first <= end; ++to) {
        const quint64 start = std::max(address, to->first);
        const quint64 stop = std::min(end, to->first + quint64(to->second.bytes.size()));
        const char *mine = data + (start - address);
        const char *theirs = to->second.bytes.constData() + (start - to->first);
        for (quint64 i = 0; start + i < stop; ++i) {
            if (mine[i] == theirs[i])
                continue;
            *error = QString("%1: address %2 is given 0x%3 here and 0x%4 earlier")
                         .arg(at(where), MemoryMap::address(start + i))
                         .arg(quint8(mine[i]), 2, 16, QChar('0'))
                         .arg(quint8(theirs[i]), 2, 16, QChar('0'));
            return false;
        }
    }
    if (from == to) {
        recent = runs.emplace_hint(to, address, Run{QByteArray(data, int(size)), where, where});
        return true;
    }

    const auto lastRun = std::prev(to);
    const quint64 lastEnd = lastRun->first + quint64(lastRun->second.bytes.size());
    if (from->first <= address && from == lastRun) {
        if (end > lastEnd) {
            from->second.bytes.append(data + (lastEnd - address), int(end - lastEnd));
            from->second.last = where;
        }
        recent = from;
        return true;
    }
    const quint64 start = std::min(address, from->first);
    Run merged{QByteArray(int(std::max(end, lastEnd) - start), Qt::Uninitialized),
               address < from->first ? where : from->second.first,
               end > lastEnd ? where : lastRun->second.last};
    std::memcpy(merged.bytes.data() + (address - start), data, size_t(size));
    for (auto it = from; it != to; ++it)
        std::memcpy(merged.bytes.data() + (it->first - start), it->second.bytes.constData(),
                    size_t(it->second.bytes.size()));
    runs.erase(from, to);
    recent = runs.emplace_hint(to, start, std::move(merged));
    return true;
}

std::optional<QByteArray> MemoryMap::image(const ImageSpec &spec, quint64 *base,
                                           QString *error) const
{
    const auto &[lowest, first] = *runs.begin();
    const auto &[highest, last] = *runs.rbegin();
    const quint64 from = spec.base.value_or(lowest);
    const quint64 end = highest + quint64(last.bytes.size());
    if (lowest < from) {
        *error = QString("%1: data at %2 lies below the base %3")
                     .arg(at(first.first), address(lowest), address(from));
        return std::nullopt;
    }
    quint64 length = end - from;
    if (spec.size) {
        if (length > quint64(*spec.size)) {
            *error = QString("%1: data up to %2 lies beyond the image's size, %3 bytes from %4")
                         .arg(at(last.last), address(end - 1))
                         .arg(*spec.size)
                         .arg(address(from));
            return std::nullopt;
        }
        length = quint64(*spec.size);
    }
    // A record near the top of the address space must not become gigabytes of fill.
    if (length > quint64(ImageFile::MaxLength)) {
        *error = QString("%1: data at %2 makes the image %3 bytes from %4, over the limit of %5 "
                         "bytes")
                     .arg(at(last.last), address(end - 1))
                     .arg(length)
                     .arg(address(from))
                     .arg(ImageFile::MaxLength);
        return std::nullopt;
    }
    *base = from;
    QByteArray image(int(length), char(spec.fill));
    for (const auto &[address, run] : runs)
        std::memcpy(image.data() + (address - from), run.bytes.constData(),
                    size_t(run.bytes.size()));
    return image;
}

QVector<Image::Region> MemoryMap::regions() const
{
    QVector<Image::Region> regions;
    for (const auto &[address, run] : runs)
        regions.append({address, run.bytes.size()});
    return regions;
}

QString MemoryMap::at(qint64 where) const
{
    return unit == Unit::Line ? QString("%1:%2").arg(file).arg(where)
                              : QString("%1: segment %2").arg(file).arg(where);
}

QString MemoryMap::address(quint64 value)
{
    return "0x" + QString::number(value, 16).toUpper().rightJustified(value > Top32 ? 16 : 8, '0');
}
