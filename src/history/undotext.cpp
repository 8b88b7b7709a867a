#include "history/undotext.h"

#include "catalogue/skinpackage.h"
#include "catalogue/slots.h"

namespace kvr {

namespace {

QString slotChange(const HistorySlot& s)
{
    QString title = s.slot;
    for (const Slot& slot : slotTable())
        if (slot.SlotCode() == s.slot)
            title = slot.Caption();
    return title + QStringLiteral(" to ") + (s.after.isEmpty() ? kDefaultSkin : s.after);
}

} // namespace

QString undoText(const HistoryEntry& newest)
{
    QString command = QStringLiteral("Undo Last Change");
    if (!newest.damage.isEmpty() || newest.slots.isEmpty())
        return command;
    QString what;
    if (newest.kind == QLatin1String("reset"))
        what = QStringLiteral("Reset Skins");
    else if (newest.slots.size() == 1)
        what = slotChange(newest.slots.constFirst());
    else
        what = QStringLiteral("%1 slots").arg(newest.slots.size());
    if (newest.kind == QLatin1String("loadout"))
        what = QStringLiteral("Loadout, ") + what;
    return command + QStringLiteral(": ") + what;
}

} // namespace kvr
