// Helpers the loadout, pack, import and command-line tests share: packages and loadouts to hand
// them, and what a ZIP they made holds.
#pragma once

#include "loadouts/loadoutstate.h"

#include "testsupport.h"
#include "zipwriter.h"

#include <zip.h>

namespace kvrtest {

// A package of the slot in the folder: its skin file (the skin name and `extra`) and notes.txt.
// One time for every member: a package made again with the same skin is the same bytes, whenever
// the clock ticks between the two. Its bytes, or none when it could not be written.
inline QByteArray addPackage(const QString& folder, const QString& code, const QString& skin,
                             const QByteArray& extra = {})
{
    const QString path = folder + u'/' + code + u'_' + skin + u".zip"_s;
    const std::time_t made = 1700000000;
    if (!kvr::writeZip(path, {{"P" + code.toLatin1() + ".TPC", skin.toUtf8() + extra, ZIP_CM_DEFLATE, made},
                              {"notes.txt", skin.toUtf8(), ZIP_CM_DEFLATE, made}}))
        return {};
    return readFile(path);
}

// A loadout of that name putting Mosquito (slot 7) on the skins folder's MOSQ_Sqn105.zip.
inline QByteArray mosquitoLoadout(const QString& skinsFolder, const QString& name)
{
    const std::atomic<bool> no{false};
    kvr::PackageFolder packages(skinsFolder);
    kvr::Loadout loadout;
    loadout.name = name;
    loadout.entries[6] = {u"Sqn105"_s, *packages.identify(u"MOSQ_Sqn105.zip"_s, no), {}};
    return kvr::loadoutBytes(loadout);
}

// What a command is given to work on: the folders set, Mosquito's package Sqn105, the saved
// loadout "Squadron" and the file Other.kvrloadout in the root each putting slot 7 on it, and a
// download dl/MOSQ_Red.zip with its note.
[[nodiscard]] inline bool plantCommandFiles(const Workspace& ws)
{
    return ws.writeSettings() && kvr::writeZip(ws.skinsFolder() + u"/MOSQ_Sqn105.zip"_s, {{"PMOSQ.TPC", "Sqn105"}}) &&
           writeFile(ws.programFolder() + u"/loadouts/Squadron.kvrloadout"_s,
                     mosquitoLoadout(ws.skinsFolder(), u"Squadron"_s)) &&
           writeFile(ws.root() + u"/Other.kvrloadout"_s, mosquitoLoadout(ws.skinsFolder(), u"Other"_s)) &&
           QDir().mkpath(ws.root() + u"/dl"_s) &&
           kvr::writeZip(ws.root() + u"/dl/MOSQ_Red.zip"_s, {{"PMOSQ.TPC", "Red"}, {"Red.txt", "note"}});
}

// The ZIP's member names, sorted, each marked " compressed" when asked and not stored as it is;
// "<unreadable>" when libzip will not open it.
inline QStringList zipMembers(const QString& path, bool markCompressed = false)
{
    int error = 0;
    zip_t* zip = zip_open(QFile::encodeName(path).constData(), ZIP_RDONLY | ZIP_CHECKCONS, &error);
    if (!zip)
        return {u"<unreadable>"_s};
    QStringList names;
    for (zip_int64_t i = 0; i < zip_get_num_entries(zip, 0); ++i) {
        zip_stat_t st;
        zip_stat_index(zip, static_cast<zip_uint64_t>(i), 0, &st);
        const bool compressed = markCompressed && st.comp_method != ZIP_CM_STORE;
        names << QString::fromUtf8(st.name) + (compressed ? u" compressed"_s : u""_s);
    }
    zip_discard(zip);
    names.sort();
    return names;
}

} // namespace kvrtest
