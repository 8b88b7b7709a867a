// The journal of a change: written beside the settings file before the change's first delete and
// removed after its settings write, so a change cut short (a kill, a power cut) is found at the
// next start and carried out again. A journal is acted on only when every value in it is one
// the program could have written; any other is set aside, and nothing is deleted for it.
#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace kvr {

// What a change does, as its journal records it.
struct ChangePlan
{
    enum class Kind {
        Install, // one slot: its files deleted, a package unpacked (but for "(Default)"), its skin recorded
        Reset,   // every slot: P*.TPC and P*.3DZ deleted, "(Default)" recorded for all 30
    };
    Kind kind = Kind::Install;
    QString slot;            // an install's slot code; "" for a reset
    QString skin;            // an install's skin name; "" for a reset
    QString package;         // the local package path, "" when nothing is unpacked
    QString gameFolder;      // the usable local game folder, "" when the value was not usable
    qint64 historyEntry = 0; // the history's pending entry of the change, 0 when none

    bool operator==(const ChangePlan&) const = default;
};

// Written whole (it appears under its name whole or not at all) and flushed. Returns its path,
// or "" when it cannot be written (a read-only program folder, where the settings cannot be
// written either): the change then goes on without one.
QString writeJournal(const ChangePlan& plan, const QString& settingsFile);
void removeJournal(const QString& journal);
// Removes the journal of a finished change and those a kill left before it for changes it made
// moot: of the same game folder, the same slot's (every slot's, after a reset). Called under the
// game folder's lock, where no other change of that folder is under way; a later journal stays,
// its change being the player's later choice.
void removeFinishedJournal(const QString& journal, const ChangePlan& done, const QString& settingsFile);

// The journals beside the settings file, by path, oldest first. Names set aside are not among them.
QStringList journalsBeside(const QString& settingsFile);

// The plan of a journal, when every line is whole and every value one the program could have
// written for the settings file as it stands: a slot code of the 30, a skin name a package name
// can give, a package in the recorded skins folder named after that slot and skin (or none),
// and the recorded game folder, usable. Nothing otherwise; `why` then says what is wrong.
std::optional<ChangePlan> readJournal(const QString& journal, const QString& settingsFile, QString* why = nullptr);

// Renames a journal that is not acted on to a name that says so, journal name + ".damaged",
// where it stays for whoever looks into it. Removed when even that fails.
void setJournalAside(const QString& journal);

} // namespace kvr
