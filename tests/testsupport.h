// Shared test fixtures: a throw-away program folder, a message-box recorder, file helpers.
#pragma once

#include "app/toolkit.h"
#include "settings/settings_names.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <optional>

namespace kvrtest {

using namespace Qt::StringLiterals;

// The 30 slot codes in slot order, written out rather than taken from the slot table, so that a
// changed or moved code fails the tests that use them.
inline const QStringList kSlotCodes =
    u"HURR SP2A SP09 SP14 TYPH TEMP MOSQ P51B P51D P38H P38J P47C P47D B26A BB17 B24A 109E 109G 109K 110C "
    u"110G M410 190A 190D 262A J88A J88C JU87 H111 V1V1"_s.split(u' ');

// A message box that answers at once and remembers what it was asked.
struct MsgBoxCall
{
    QString prompt;
    int style;
    QString title;
};

class MsgBoxRecorder
{
public:
    explicit MsgBoxRecorder(int answer = kvr::vbOK)
        : m_previous(kvr::setMsgBoxHandler([this, answer](const QString& prompt, int style, const QString& title) {
              calls.append({prompt, style, title});
              return nextAnswers.isEmpty() ? answer : nextAnswers.takeFirst();
          }))
    {
    }
    ~MsgBoxRecorder() { kvr::setMsgBoxHandler(m_previous); }
    MsgBoxRecorder(const MsgBoxRecorder&) = delete;
    MsgBoxRecorder& operator=(const MsgBoxRecorder&) = delete;

    // Whether exactly one box was shown, with these texts and this style; says what was shown if not.
    bool askedOnce(const QString& prompt, int style, const QString& title) const
    {
        const bool same =
            calls.size() == 1 && calls[0].prompt == prompt && calls[0].style == style && calls[0].title == title;
        QString shown;
        for (const MsgBoxCall& call : calls)
            shown +=
                u"\n  \""_s + call.prompt + u"\" style "_s + QString::number(call.style) + u" \""_s + call.title + u'"';
        return QTest::qVerify(same, "askedOnce", qPrintable(u"shown:"_s + shown), __FILE__, __LINE__);
    }

    QList<MsgBoxCall> calls;
    QList<int> nextAnswers;

private:
    kvr::MsgBoxHandler m_previous;
};

// Writes the bytes, making the folders on the way. A failure is reported here; the caller's
// QVERIFY stops the test.
[[nodiscard]] inline bool writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    const bool written = file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
    return QTest::qVerify(written, "writeFile", qPrintable(path), __FILE__, __LINE__);
}

inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

// What a program run to its end printed and returned; exitCode is -1 when it did not start, did
// not end within two minutes, or crashed. An empty working folder is the test's own.
struct ToolRun
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

inline ToolRun runTool(const QString& program, const QStringList& arguments,
                       const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment(),
                       const QString& workingFolder = {})
{
    QProcess p;
    p.setProcessEnvironment(environment);
    p.setWorkingDirectory(workingFolder);
    p.start(program, arguments);
    ToolRun run;
    if (p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit)
        run.exitCode = p.exitCode();
    run.out = p.readAllStandardOutput();
    run.err = p.readAllStandardError();
    return run;
}

// The description of the error the call raises, or a null string when it raises none.
template <typename Call> QString errorOf(Call&& call)
{
    try {
        call();
    } catch (const kvr::Error& e) {
        return e.description();
    }
    return {};
}

// Names of the files in a folder, sorted, for comparing what landed on disk.
inline QStringList filesIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}

// A folder path of exactly `length` characters under `root`, made on disk.
inline QString folderOfLength(const QString& root, qsizetype length)
{
    QString path = root;
    while (path.size() < length)
        path += u'/' + QString(std::min<qsizetype>(length - path.size() - 1, 200), u'd');
    QDir().mkpath(path);
    return path;
}

// The skins section of KVRSI.INI holding these "CODE=Skin" lines, as the program writes it.
inline QByteArray skinsSection(const QStringList& lines)
{
    QByteArray section = '[' + kvr::SettingsNames::kSkinsSection.toUtf8() + "]\r\n"_ba;
    for (const QString& line : lines)
        section += line.toUtf8() + "\r\n"_ba;
    return section;
}

// A program folder of its own (holding KVRSI.INI and, when asked, the extraction library),
// with a game folder and a skins folder beside it.
class Workspace
{
public:
    explicit Workspace(bool withUnzipLibrary = true)
    {
        QDir root(m_dir.path());
        root.mkpath(u"program"_s);
        root.mkpath(u"game"_s);
        root.mkpath(u"skins"_s);
        kvr::setProgramFolder(programFolder());
        if (withUnzipLibrary)
            QFile::link(QStringLiteral(KVR_UNZIP32_LIBRARY), programFolder() + u"/libunzip32.so"_s);
    }
    ~Workspace() { kvr::setProgramFolder(QString()); }

    QString root() const { return m_dir.path(); }
    QString programFolder() const { return m_dir.filePath(u"program"_s); }
    QString gameFolder() const { return m_dir.filePath(u"game"_s); }
    QString skinsFolder() const { return m_dir.filePath(u"skins"_s); }
    QString iniPath() const { return programFolder() + u"/KVRSI.INI"_s; }

    // The folders section naming these two folders, as the control panel writes it; a null one is
    // left out.
    static QByteArray foldersSection(const QString& game, const QString& skins)
    {
        using namespace kvr::SettingsNames;
        QString section = u'[' + kFoldersSection + u"]\r\n"_s;
        if (!game.isNull())
            section += kGameFolderKey + u'=' + game + u"\r\n"_s;
        if (!skins.isNull())
            section += kSkinsFolderKey + u'=' + skins + u"\r\n"_s;
        return section.toUtf8();
    }

    // KVRSI.INI pointing at the game and skins folders, plus any extra lines.
    QByteArray settings(const QByteArray& extra = {}) const
    {
        return foldersSection(gameFolder(), skinsFolder()) + extra;
    }
    bool writeSettings(const QByteArray& extra = {}) const { return writeFile(iniPath(), settings(extra)); }

private:
    QTemporaryDir m_dir;
};

// A program folder with a workspace and a message recorder, made afresh for each test function:
// a test class derives from it (after QObject) and calls these from init() and cleanup().
class ProgramFixture
{
protected:
    void openProgram(bool withUnzipLibrary = true)
    {
        ws.emplace(withUnzipLibrary);
        messages.emplace();
    }
    void closeProgram()
    {
        messages.reset();
        ws.reset();
    }

    std::optional<Workspace> ws;
    std::optional<MsgBoxRecorder> messages;
};

// A link planted where a write will land, pointing into `outside`: "dangling" (to a name that is
// not there), "file" (to a file there) or "folder" (to a folder there).
// An empty kind plants nothing.
[[nodiscard]] inline bool plantLink(const QString& at, const QString& kind, const QString& outside)
{
    const bool made = QDir().mkpath(outside + u"/folder"_s) && writeFile(outside + u"/file"_s, "theirs");
    return made && (kind.isEmpty() || QFile::link(outside + u'/' + (kind == u"dangling"_s ? u"nowhere"_s : kind), at));
}

// What plantLink left outside is as it was: nothing was written through the link.
inline bool outsideUntouched(const QString& outside)
{
    return readFile(outside + u"/file"_s) == "theirs" && !QFileInfo::exists(outside + u"/nowhere"_s) &&
           QDir(outside + u"/folder"_s).isEmpty();
}

} // namespace kvrtest
