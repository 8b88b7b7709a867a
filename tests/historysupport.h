// The history tests' shared fixture: a program folder with the game's own files and one Mosquito
// package, a snapshot of a folder to the nanosecond, and helpers to package, read and undo.
#pragma once

#include "change/slotchange.h"
#include "history/history.h"
#include "settings/modulo_ini.h"
#include "testsupport.h"
#include "zipwriter.h"

#include <fcntl.h>
#include <limits>
#include <sys/stat.h>

namespace kvrtest {

class HistoryFixture : protected ProgramFixture
{
protected:
    // An entry number above every one the program writes: Forget older than it forgets them all.
    static constexpr qint64 kEveryEntry = std::numeric_limits<qint64>::max();

    // A folder's files: name -> bytes, mode and modification time to the nanosecond.
    using Snapshot = QMap<QString, QString>;

    static Snapshot snapshot(const QString& folder)
    {
        Snapshot files;
        for (const QString& name : QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System)) {
            struct stat st = {};
            ::stat(QFile::encodeName(folder + u'/' + name).constData(), &st);
            files[name] = u"%1 %2 %3.%4"_s.arg(QString::fromLatin1(kvr::sha256Hex(readFile(folder + u'/' + name))))
                              .arg(st.st_mode & 07777, 0, 8)
                              .arg(st.st_mtim.tv_sec)
                              .arg(st.st_mtim.tv_nsec);
        }
        return files;
    }

    // The hashes of the bytes a folder's files held.
    static QSet<QString> hashesOf(const Snapshot& files)
    {
        QSet<QString> hashes;
        for (const QString& file : files)
            hashes.insert(file.section(u' ', 0, 0));
        return hashes;
    }

    static QString skinOf(const QString& ini, const QString& slot)
    {
        return kvr::Modulo::LEEINI(ini, kvr::SettingsNames::kSkinsSection, slot);
    }

    std::optional<QTemporaryDir> m_elsewhere; // a game folder on another file system
    QString m_game;

    QString game() const { return m_game.isEmpty() ? ws->gameFolder() : m_game; }
    QString ini() const { return ws->iniPath(); }
    kvr::HistoryStore store() const { return kvr::HistoryStore(ini()); }
    kvr::HistoryEntry newest() const { return store().newest(game()).value_or(kvr::HistoryEntry{}); }
    // The history's entry files of one kind ("*.entry", "*.pending"), by name.
    QStringList entryFiles(const QString& pattern) const
    {
        return QDir(store().folder() + u"/entries"_s).entryList({pattern}, QDir::Files);
    }
    // The numbers of a game folder's entries ("" for every folder's), oldest first.
    QList<qint64> entryIds(const QString& folder) const
    {
        QList<qint64> ids;
        for (const kvr::HistoryEntry& e : store().entries(folder))
            ids.prepend(e.id);
        return ids;
    }
    // A slot of the game folder in use set to a skin, as the main window does.
    kvr::SlotChange::Begun change(const QString& skin, const QString& slot = u"MOSQ"_s)
    {
        return kvr::changeSlot(game(), ws->skinsFolder(), ini(), slot, skin);
    }

    // A package of these members for the Mosquito slot (or another code).
    void package(const QString& skin, const QList<QByteArray>& names, const QByteArray& salt = {},
                 const QString& code = u"MOSQ"_s)
    {
        QList<kvr::ZipMember> members;
        for (const QByteArray& name : names)
            members.append(kvr::ZipMember(name, name + " of " + skin.toUtf8() + salt, ZIP_CM_DEFLATE, 1600000000));
        QVERIFY(kvr::writeZip(ws->skinsFolder() + u'/' + code + u'_' + skin + u".zip"_s, members));
    }
    // The game's own files, with odd modes and times to the nanosecond.
    void gameFiles()
    {
        for (const QString& name : {u"PMOSQ.TPC"_s, u"pmosq2.3dz"_s, u"PHURR.TPC"_s, u"readme.txt"_s, u"KVR.EXE"_s}) {
            const QString path = game() + u'/' + name;
            QVERIFY(writeFile(path, name.toUtf8() + " as the game shipped it"));
            ::chmod(QFile::encodeName(path).constData(), 0640);
            const timespec times[2] = {{1234567, 891}, {1234567, 891}};
            ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0);
        }
    }
    void undo() { kvr::restoreBefore(ini(), game(), newest(), u"undo"_s); }

    // Each test's program: the Mosquito set to "Old", the game's files, one package.
    void openHistoryProgram()
    {
        openProgram();
        QVERIFY(ws->writeSettings(skinsSection({u"MOSQ=Old"_s})));
        gameFiles();
        package(u"Sqn105"_s, {"PMOSQ.TPC", "PMOSQ_W.TPC", "readme.txt"});
    }
    void closeHistoryProgram()
    {
        m_game.clear();
        m_elsewhere.reset();
        closeProgram();
    }
};

} // namespace kvrtest
