// The installation of a skin into a slot and the reset of all slots, without a window: the game
// folder, the skins folder and the settings file come in as values.
//
// Every change that deletes in the game folder holds an exclusive lock on that folder for its
// whole length, so two changes never interleave, and keeps a journal beside the settings file
// from before its first delete until after its settings write. A journal found at start names a
// change that was interrupted: finishInterruptedChanges() carries it out again from the top.
#pragma once

#include <QString>

#include <functional>
#include <memory>

namespace kvr {

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

// The points a change passes, in order; a test's probe may end the process at any of them.
enum class ChangeStep { Journaled, Deleted, Unpacked, Recorded };
using ChangeProbe = std::function<void(ChangeStep)>;
ChangeProbe setChangeProbe(ChangeProbe probe);

// Deletes a slot's files (P, the slot code, anything) from the game folder. Nothing happens when
// the folder value is not usable; failures are skipped.
void deleteSlotFiles(const QString& gameFolder, const QString& slotCode);

struct ChangePlan;
class FolderLock;

// One slot change, step by step: constructing it takes the game folder's lock and writes the
// journal; unpack() and record() are the steps after the delete; the lock goes with the object.
class SlotChange
{
public:
    SlotChange(const QString& gameFolder, const QString& skinsFolder, const QString& settingsFile,
               const QString& slotCode, const QString& skin);
    ~SlotChange();
    SlotChange(const SlotChange&) = delete;
    SlotChange& operator=(const SlotChange&) = delete;

    // Unpacks the package into the game folder, when both folders are usable.
    void unpack() const;
    // Records the skin for the slot in the settings file, then removes the journal.
    void record(const QString& settingsFile) const;

private:
    friend void finishInterruptedChanges(const QString& settingsFile);
    SlotChange(std::unique_ptr<ChangePlan> plan, const QString& journal);

    std::unique_ptr<ChangePlan> m_plan;
    std::unique_ptr<FolderLock> m_lock;
};

// The reset of all slots, step by step, as SlotChange.
class SlotReset
{
public:
    SlotReset(const QString& gameFolder, const QString& settingsFile);
    ~SlotReset();
    SlotReset(const SlotReset&) = delete;
    SlotReset& operator=(const SlotReset&) = delete;

    // Deletes every P*.TPC and P*.3DZ of the game folder, when it is usable.
    void deleteSkinFiles() const;
    // Records "(Default)" for every slot, in one replace of the file, then removes the journal.
    void record(const QString& settingsFile) const;

private:
    friend void finishInterruptedChanges(const QString& settingsFile);
    SlotReset(std::unique_ptr<ChangePlan> plan, const QString& journal);

    std::unique_ptr<ChangePlan> m_plan;
    std::unique_ptr<FolderLock> m_lock;
};

// A whole slot change as the main window makes it: delete, then unpack (but for "(Default)"),
// then record.
void changeSlot(const QString& gameFolder, const QString& skinsFolder, const QString& settingsFile,
                const QString& slotCode, const QString& skin);
// A whole reset: delete, then record.
void resetSlots(const QString& gameFolder, const QString& settingsFile);

// At start, before the main window reads the settings: removes the settings file's stale
// temporary files and carries out every journal found beside it again, without a message.
void finishInterruptedChanges(const QString& settingsFile);

} // namespace kvr
