// The change layer (src/change): one change of the game folder as the program runs it, with its
// journal (journal.h), the places it works in (workspace.h) and the start's finishing of changes
// cut short. It sits above the history and below the windows, the loadouts and the command
// line: its files include app, settings, catalogue, extract and history, never a folder above.
//
// The one sequence every slot change and reset runs: the main window's slot choices and reset,
// the start's finishing of changes cut short, the report's Reinstall, a loadout's apply, the
// bench and the tests. Folders and the settings file come in as values; no window. An undo or
// restore (history/restore.h) is no SlotChange, but takes the game folder's lock through the
// same wait and message (app/folderlock.h) and passes the same steps (app/changeprobe.h).
//
// The steps of a SlotChange, in this order:
//   begin()        takes the game folder's lock without ever blocking (see LockWait), checks the
//                  package (see PackageRule) and writes the journal; the history links what the
//                  change will remove or the unpack replace before it, and flushes it beside
//                  the journal. Until it says Yes nothing has changed in the game folder, and a
//                  change that does not begin changes nothing;
//   deleteFiles()  the slot's files in the game folder, P, the slot code, anything (a reset:
//                  P*.TPC and P*.3DZ);
//   unpack()       the package into the game folder (an install of a skin but "(Default)");
//   record()       the skin under the slot's code (a reset: "(Default)" for all 30 codes in one
//                  replace of the file), then the journal goes. The lock goes with the object.
// The window's routines are thin steps over these, in their order: DESCOMPRIME is begin,
// BORRASKIN (deleteFiles), unpack and record; Command1_Click is begin, deleteFiles, the 30 combo
// texts and record. run() runs the steps whole, for everyone else.
//
// Where a history of changes hooks in: each kind of change to the user's files passes through
// one private function of SlotChange, whoever the caller:
//   removeFromGameFolder(pattern)  every file the sequence removes from the game folder;
//   unpackPackage()                the unpacking of a package into the game folder;
//   writeRecord(settingsFile)      the settings write that records the change.
// The plan (ChangePlan, journal.h) names the slot, skin, package and game folder of the change.
#pragma once

#include "app/changeprobe.h"
#include "app/fileio.h"
#include "app/folderlock.h"
#include "change/journal.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

namespace kvr {

class HistoryRecorder;
class LocalWorkspace;

// The file services a change uses. Tests replace them to see every call, or to end the process
// at a step; an empty member stands for the real service.
struct FileServices
{
    // Deletes the files of a local folder that match the pattern; throws Error as deleteFiles does.
    std::function<void(const QString& localFolder, const QString& pattern)> deleteFiles;
    // Unpacks a package into a folder (the library's paths); reports as Modulo::Unzip does.
    std::function<void(const QString& package, const QString& targetFolder)> unzip;
};
// Installs the services and hands back the ones before.
FileServices setFileServices(FileServices services);

// What begin() does with a package the extraction library would not install whole.
//  - A package that is there but would be refused (not a ZIP, members sharing data, encrypted
//    members, ...): the change does not begin; nothing is deleted, unpacked or recorded.
//  - AsChosen, a vanished package (gone since the list was filled): the slot's files are deleted
//    and the name recorded, nothing unpacked, as ordinary use always had it.
//  - OnlyWhole (the report's Reinstall, which offers a package it saw): a vanished package does
//    not begin either.
enum class PackageRule { AsChosen, OnlyWhole };

// A check of the package's bytes, run under the game folder's lock just before the change begins,
// with the package open for reading: "" lets the change go on, anything else refuses it with that
// reason. The change then checks and unpacks that same open file, so it installs exactly the bytes
// checked, whatever takes the package's name meanwhile.
using PackageVerifier = std::function<QString(int packageFd)>;

class SlotChange
{
public:
    // A slot's change to a skin: "(Default)" or a package's skin name.
    static SlotChange install(const LocalWorkspace& where, const QString& slotCode, const QString& skin,
                              PackageRule rule = PackageRule::AsChosen);
    // The same with the workspace's values as the settings hold them.
    static SlotChange install(const QString& gameFolder, const QString& skinsFolder, const QString& settingsFile,
                              const QString& slotCode, const QString& skin, PackageRule rule = PackageRule::AsChosen);
    // The reset of all slots.
    static SlotChange reset(const LocalWorkspace& where);
    static SlotChange reset(const QString& gameFolder, const QString& settingsFile);
    SlotChange(SlotChange&&) noexcept;
    ~SlotChange();
    SlotChange(const SlotChange&) = delete;
    SlotChange& operator=(const SlotChange&) = delete;
    SlotChange& operator=(SlotChange&&) = delete;

    enum class Begun {
        Yes,
        Cancelled, // the game folder stayed locked by another program, or the history could not
                   // keep what the change would remove (problem() says so)
        Refused,   // the package would not be installed; problem() says why
    };
    // With no usable game folder there is nothing to lock, check or journal: only the record
    // happens. `wait` stands in for the installed LockWait.
    Begun begin(const LockWait& wait = {});
    void deleteFiles();
    void unpack();
    void record(const QString& settingsFile);
    // All the steps: begin, then delete, unpack (an install of a skin but "(Default)") and
    // record into the settings file the change was made for.
    Begun run(const LockWait& wait = {});
    // Before begin(): the package must pass the verifier (a missing one is refused too).
    void verifyPackage(PackageVerifier verifier) { m_verifier = std::move(verifier); }

    const ChangePlan& plan() const { return m_plan; }
    const QString& problem() const { return m_problem; }

private:
    friend void finishInterruptedChanges(const QString& settingsFile);
    SlotChange(ChangePlan plan, const QString& settingsFile, PackageRule rule);

    void removeFromGameFolder(const QString& pattern) const;
    void unpackPackage() const;
    void writeRecord(const QString& settingsFile) const;
    // The history entry of the change, begun under the lock before the journal; false when the
    // history cannot be written (said in a message), and then nothing may change.
    bool startHistory();
    // Runs a step of the history's under the lock; one that fails stops the change (said in a
    // message) before anything is removed.
    void historyStep(const std::function<void()>& step);
    // The slot's files the change clears, as patterns of the game folder.
    QStringList clearedPatterns() const;

    ChangePlan m_plan;
    QString m_settingsFile;
    PackageRule m_rule;
    bool m_begun = false;
    QString m_journal; // the journal's path while there is one
    QString m_problem;
    std::unique_ptr<FolderLock> m_lock;
    // The entry the change makes (shared with a HistoryBatch that makes one entry of several).
    std::shared_ptr<HistoryRecorder> m_history;
    bool m_batched = false;
    // The names the package's members land under, from the check of the package.
    QList<QByteArray> m_unpacked;
    PackageVerifier m_verifier;
    // The package as verified, open from the check through the unpack.
    UniqueFd m_packageFd;
    // Set when the history could not take a file: the change stops there, having removed nothing.
    mutable bool m_stopped = false;
};

// A whole slot change: begin, delete, unpack (but for "(Default)"), record.
SlotChange::Begun changeSlot(const QString& gameFolder, const QString& skinsFolder, const QString& settingsFile,
                             const QString& slotCode, const QString& skin, PackageRule rule = PackageRule::AsChosen);
// A whole reset: begin, delete, record.
SlotChange::Begun resetSlots(const QString& gameFolder, const QString& settingsFile);

// At start, before the main window reads the settings: removes the settings file's stale
// temporary files and carries out again every journal found beside it that the program could
// have written, without a message. Any other journal is set aside and nothing is deleted for it.
// Never waits more than a few seconds for a lock: a change whose game folder stays locked is
// left for the next start, and the temporaries stay while the settings file is locked.
void finishInterruptedChanges(const QString& settingsFile);

} // namespace kvr
