// Shared test fixtures: a throw-away program folder, a message-box recorder, file helpers.
#pragma once

#include "app/toolkit.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

namespace kvrtest {

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

    QList<MsgBoxCall> calls;
    QList<int> nextAnswers;

private:
    kvr::MsgBoxHandler m_previous;
};

inline void writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    QCOMPARE(file.write(bytes), bytes.size());
}

inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

// Names of the files in a folder, sorted, for comparing what landed on disk.
inline QStringList filesIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}

// A program folder of its own (holding KVRSI.INI and, when asked, the extraction library),
// with a game folder and a skins folder beside it.
class Workspace
{
public:
    explicit Workspace(bool withUnzipLibrary = true)
    {
        QDir root(m_dir.path());
        root.mkpath(QStringLiteral("program"));
        root.mkpath(QStringLiteral("game"));
        root.mkpath(QStringLiteral("skins"));
        kvr::setProgramFolder(programFolder());
#ifdef KVR_UNZIP32_LIBRARY
        if (withUnzipLibrary)
            QFile::link(QStringLiteral(KVR_UNZIP32_LIBRARY), programFolder() + QStringLiteral("/libunzip32.so"));
#else
        Q_UNUSED(withUnzipLibrary);
#endif
    }
    ~Workspace()
    {
        kvr::setProgramFolder(QString());
    }

    QString root() const
    {
        return m_dir.path();
    }
    QString programFolder() const
    {
        return m_dir.filePath(QStringLiteral("program"));
    }
    QString gameFolder() const
    {
        return m_dir.filePath(QStringLiteral("game"));
    }
    QString skinsFolder() const
    {
        return m_dir.filePath(QStringLiteral("skins"));
    }
    QString iniPath() const
    {
        return programFolder() + QStringLiteral("/KVRSI.INI");
    }

    // Writes KVRSI.INI pointing at the game and skins folders, plus any extra lines.
    void writeSettings(const QByteArray& extra = {}) const
    {
        writeFile(iniPath(), "[Folders]\r\nKVRInstallationFolder=" + gameFolder().toUtf8() +
                                 "\r\nSkinsFolder=" + skinsFolder().toUtf8() + "\r\n" + extra);
    }

private:
    QTemporaryDir m_dir;
};

} // namespace kvrtest
