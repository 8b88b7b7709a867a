#include "app/changeprobe.h"

#include "app/guarded.h"

namespace kvr {

namespace {

Guarded<ChangeProbe>& installedProbe(ProbedChange change)
{
    static Guarded<ChangeProbe> slotProbe;
    static Guarded<ChangeProbe> restoreProbe;
    return change == ProbedChange::Slot ? slotProbe : restoreProbe;
}

} // namespace

ChangeProbe setChangeProbe(ChangeProbe probe)
{
    return installedProbe(ProbedChange::Slot).exchange(std::move(probe));
}

ChangeProbe setRestoreProbe(ChangeProbe probe)
{
    return installedProbe(ProbedChange::Restore).exchange(std::move(probe));
}

void reachStep(ProbedChange change, ChangeStep step)
{
    if (const ChangeProbe probe = installedProbe(change).get())
        probe(step);
}

} // namespace kvr
