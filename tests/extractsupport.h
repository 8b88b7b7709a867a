// The extraction tests' shared fixture: the unzip32 library loaded as the program loads it, called
// as the program calls it, with throw-away target folders and sample archives.
#pragma once

#include "extract/unzip32.h"
#include "extract/zip_layout.h"
#include "testsupport.h"
#include "zipbytes.h"
#include "zipwriter.h"

#include <dlfcn.h>

#include <functional>
#include <vector>

namespace kvrtest {

class ExtractFixture
{
protected:
    using Files = QMap<QString, QByteArray>; // name -> bytes

    using Member = kvr::ZipMember;

    static void makeZip(const QString& path, const QList<Member>& members, const QByteArray& comment = {})
    {
        QVERIFY2(kvr::writeZip(path, members, comment), qPrintable(path));
    }

    // Data that deflates well but not to nothing.
    static QByteArray sample(qsizetype size, char seed)
    {
        QByteArray data;
        data.reserve(size);
        for (qint64 line = 0; data.size() < size; ++line)
            data += QByteArray::number(line * 7919 + seed) + ' ' + seed + "skin\n";
        data.truncate(size);
        return data;
    }

    // The central directory of archive bytes held in memory, as the report reads a package's.
    static std::optional<kvr::unzip32::CentralDirectory> centralDirectoryOf(const QByteArray& archive)
    {
        const auto read = [&](uint64_t offset, size_t length, std::vector<unsigned char>&) -> const unsigned char* {
            if (offset > quint64(archive.size()) || length > archive.size() - offset)
                return nullptr;
            return reinterpret_cast<const unsigned char*>(archive.constData()) + offset;
        };
        return kvr::unzip32::readCentralDirectory(archive.size(), read, 1024);
    }

    static QString fixture(const QString& name) { return QStringLiteral(KVR_TEST_DATA "/zip/") + name; }

    // Patches the uncompressed size the first member declares, in its local and central headers.
    static void declareSize(QByteArray& archive, quint32 size)
    {
        archive.replace(22, 4, le32(size));
        archive.replace(archive.indexOf("PK\1\2") + 24, 4, le32(size));
    }

    static void collectLine(const char* line, void* lines)
    {
        static_cast<QStringList*>(lines)->append(QString::fromUtf8(line));
    }

    Wiz_SingleEntryUnzipFn* m_unzip = nullptr;
    Wiz_SetLogHookFn* m_setLogHook = nullptr;
    Wiz_SetReplaceHookFn* m_setReplaceHook = nullptr;
    Wiz_ForceHiddenTemporariesFn* m_forceHidden = nullptr;
    void* m_library = nullptr;
    QTemporaryDir m_dir;
    QStringList m_log; // the library's diagnostics of the last call

    // The diagnostic line about the member stored as `name`, or about the archive.
    QString logOf(const QString& name) const
    {
        for (const QString& line : m_log)
            if (line.startsWith(name + u": "_s))
                return line.mid(name.size() + 2);
        return {};
    }

    QString path(const QString& name) const { return m_dir.filePath(name); }

    // Calls the library as the program does, with `tweak` changing the option record.
    int unzip(const QString& archive, const QString& target, const std::function<void(DCL&)>& tweak = {},
              QList<QByteArray> include = {}, QList<QByteArray> exclude = {})
    {
        QByteArray zipName = QFile::encodeName(archive), folder = QFile::encodeName(target);
        std::vector<char*> includes, excludes;
        for (QByteArray& name : include)
            includes.push_back(name.data());
        for (QByteArray& name : exclude)
            excludes.push_back(name.data());
        DCL options{};
        options.fQuiet = 2;
        options.noflag = 1;
        options.C_flag = 1;
        options.lpszZipFN = zipName.data();
        options.lpszExtractDir = folder.data();
        if (tweak)
            tweak(options);
        USERFUNCTIONS callbacks{};
        m_log.clear();
        return m_unzip(int(includes.size()), includes.data(), int(excludes.size()), excludes.data(), &options,
                       &callbacks);
    }

    // A fresh target folder holding the given files. One that cannot be made fails the test, and
    // its path is still given: never an empty one, which the library takes for the working folder.
    QString target(const QString& name, const Files& files = {})
    {
        const QString folder = path(name);
        QDir(folder).removeRecursively();
        bool made = QDir().mkpath(folder);
        for (auto it = files.begin(); made && it != files.end(); ++it)
            made = writeFile(folder + u'/' + it.key(), it.value());
        QTest::qVerify(made, "target", qPrintable(folder), __FILE__, __LINE__);
        return folder;
    }

    Files contents(const QString& folder)
    {
        Files files;
        for (const QString& name : filesIn(folder))
            files.insert(name, readFile(folder + u'/' + name));
        return files;
    }

    void loadLibrary()
    {
        QVERIFY(m_dir.isValid());
        m_library = ::dlopen(KVR_UNZIP32_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        QVERIFY2(m_library, ::dlerror());
        m_unzip = reinterpret_cast<Wiz_SingleEntryUnzipFn*>(::dlsym(m_library, "Wiz_SingleEntryUnzip"));
        QVERIFY(m_unzip);
        m_setLogHook = reinterpret_cast<Wiz_SetLogHookFn*>(::dlsym(m_library, "Wiz_SetLogHook"));
        m_setReplaceHook = reinterpret_cast<Wiz_SetReplaceHookFn*>(::dlsym(m_library, "Wiz_SetReplaceHook"));
        m_forceHidden =
            reinterpret_cast<Wiz_ForceHiddenTemporariesFn*>(::dlsym(m_library, "Wiz_ForceHiddenTemporaries"));
        QVERIFY(m_setLogHook && m_setReplaceHook && m_forceHidden);
        m_setLogHook(&collectLine, &m_log);
    }
    void unloadLibrary() { ::dlclose(m_library); }
};

} // namespace kvrtest
