// What must hold for any bytes read as a loadout file: nothing crashes; every package a slot
// names is its own slot's <CODE>_<skin>.zip, a bare name in the skins folder; and what was
// understood, written again, reads back the same. The fuzz target and the regression test share it.
#pragma once

#include "loadouts/loadoutfile.h"

namespace kvrfuzz {

// Empty when the loadout reader keeps its promises for these bytes, else what it broke.
inline QString checkLoadout(const QByteArray& bytes)
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

} // namespace kvrfuzz
