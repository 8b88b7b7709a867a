// The points a change of the game folder passes, in order, where a test's probe may end the
// process or hold the change. A slot change and an undo or restore pass the same points and
// each kind has its probe, so a test holding one kind never stops the other.
#pragma once

#include <functional>

namespace kvr {

// Journaled: the journal is written (a slot change only); Deleted: the slot's files are cleared;
// Unpacked: the new ones are written (a package unpacked, or the kept files put back);
// Recorded: the skins are recorded in the settings file.
enum class ChangeStep { Journaled, Deleted, Unpacked, Recorded };
using ChangeProbe = std::function<void(ChangeStep)>;

enum class ProbedChange { Slot, Restore };

// Install a probe and hand back the one before.
ChangeProbe setChangeProbe(ChangeProbe probe);
ChangeProbe setRestoreProbe(ChangeProbe probe);

// Called by the change as it passes `step`.
void reachStep(ProbedChange change, ChangeStep step);

} // namespace kvr
