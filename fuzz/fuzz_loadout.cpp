// libFuzzer target: arbitrary bytes as a loadout file. What must hold: nothing crashes; every
// package a slot names is its own slot's <CODE>_<skin>.zip, a bare name in the skins folder; and
// what was understood, written again, reads back the same.
#include "loadouts/loadoutfile.h"

#include <cstdio>
#include <cstdlib>

namespace {

QString check(const QByteArray& bytes)
{
    const kvr::Loadout loadout = kvr::parseLoadout(bytes, QStringLiteral("fallback"));
    kvr::Loadout understood;
    understood.name = loadout.name;
    for (const kvr::Slot& s : kvr::slotTable()) {
        const auto i = static_cast<size_t>(s.number - 1);
        const kvr::LoadoutSlot& slot = loadout.entries[i];
        if (!slot.understood())
            continue;
        understood.entries[i] = slot;
        const QString& file = slot.package.file;
        if (slot.skin == QStringLiteral("(Default)"))
            continue;
        if (file.contains(QLatin1Char('/')) || file.contains(QLatin1Char('\\')) || file.contains(QChar(u'\0')) ||
            file.contains(QStringLiteral("..")))
            return QStringLiteral("a package outside the skins folder: ") + file;
        if (file.compare(s.SlotCode() + QLatin1Char('_') + slot.skin + QStringLiteral(".zip"), Qt::CaseInsensitive))
            return QStringLiteral("a package not of its slot: ") + file;
    }
    const kvr::Loadout again = kvr::parseLoadout(kvr::loadoutBytes(understood), QStringLiteral("fallback"));
    if (again != understood)
        return QStringLiteral("written again, it reads back otherwise");
    return {};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QString failure = check(bytes);
    if (!failure.isEmpty()) {
        std::fprintf(stderr, "fuzz_loadout: %s\n", failure.toUtf8().constData());
        std::abort();
    }
    return 0;
}
