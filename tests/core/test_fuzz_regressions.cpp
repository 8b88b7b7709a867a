// What the fuzz targets found, kept: every input that once broke a target's checks
// (tests/data/fuzz/<target>/) and the targets' seeds (fuzz/corpus/<target>/) go through the
// same checks in every build, and each fault found is also stated as a plain case.
#include "../../fuzz/profile_check.h"
#include "../../fuzz/unzip_check.h"
#include "settings/profile.h"
#include "testsupport.h"

#include <dlfcn.h>

using kvrtest::readFile;
using kvrtest::writeFile;

namespace {

const QString kFindings = QStringLiteral(KVR_TEST_DATA "/fuzz/");
const QString kSeeds = QStringLiteral(KVR_TEST_DATA "/../../fuzz/corpus/");

void addInputs(const QString& target)
{
    QTest::addColumn<QString>("path");
    for (const QString& folder : {kFindings + target, kSeeds + target})
        for (const QFileInfo& file : QDir(folder).entryInfoList(QDir::Files | QDir::Hidden, QDir::Name))
            QTest::newRow(qPrintable(file.fileName())) << file.filePath();
}

} // namespace

class TestFuzzRegressions : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void profileInputs_data()
    {
        addInputs(QStringLiteral("fuzz_profile"));
    }

    void profileInputs()
    {
        QFETCH(QString, path);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString failure = kvrfuzz::checkProfile(readFile(path), dir.path());
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
    }

    void unzipInputs_data()
    {
        addInputs(QStringLiteral("fuzz_unzip"));
    }

    void unzipInputs()
    {
        QFETCH(QString, path);
        void* library = ::dlopen(KVR_UNZIP32_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        QVERIFY2(library, ::dlerror());
        auto* unzip = reinterpret_cast<Wiz_SingleEntryUnzipFn*>(::dlsym(library, "Wiz_SingleEntryUnzip"));
        QVERIFY(unzip);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QByteArray bytes = readFile(path);
        const std::string failure = kvrfuzz::checkUnzip(reinterpret_cast<const uint8_t*>(bytes.constData()),
                                                        static_cast<size_t>(bytes.size()), dir.path().toStdString(), unzip);
        ::dlclose(library);
        QVERIFY2(failure.empty(), failure.c_str());
    }

    // A file carried over from Windows is read as Windows-1252 only because some byte of it is
    // not UTF-8. When a write replaces the line holding the last such byte, the rest may pass for
    // UTF-8 and read as other characters: "Ã©" (C3 A9 in Windows-1252) comes back as "é".
    void windows1252FileThatWouldPassForUtf8()
    {
        QTemporaryDir dir;
        const QString ini = dir.filePath(QStringLiteral("KVRSI.INI"));

        writeFile(ini, "[Skins]\r\nMOSQ=\xC3\xA9quipe\r\nHURR=caf\xE9\r\n");
        QCOMPARE(kvr::readProfileString(ini, QStringLiteral("Skins"), QStringLiteral("MOSQ")),
                 QString::fromUtf8("\xC3\x83\xC2\xA9quipe"));
        QVERIFY(kvr::writeProfileString(ini, QStringLiteral("Skins"), QStringLiteral("HURR"), QStringLiteral("plain")));
        QCOMPARE(kvr::readProfileString(ini, QStringLiteral("Skins"), QStringLiteral("MOSQ")),
                 QString::fromUtf8("\xC3\x83\xC2\xA9quipe"));

        // The same for the value written itself.
        writeFile(ini, "[Skins]\r\nHURR=caf\xE9\r\n");
        const QString value = QString::fromUtf8("\xC3\x83\xC2\xA9t\xC3\x83\xC2\xA9");
        QVERIFY(kvr::writeProfileString(ini, QStringLiteral("Skins"), QStringLiteral("HURR"), value));
        QCOMPARE(kvr::readProfileString(ini, QStringLiteral("Skins"), QStringLiteral("HURR")), value);
    }

    // A key written first in a file whose text then starts with the bytes of a byte-order mark
    // ("\uFEFF" in UTF-8, "ï»¿" in Windows-1252): a read skips those bytes as the mark and the key
    // is lost.
    void textStartingLikeAByteOrderMark()
    {
        QTemporaryDir dir;
        const QString ini = dir.filePath(QStringLiteral("KVRSI.INI"));
        struct Case
        {
            QByteArray file;
            QString key;
            QString other; // what HURR reads, before and after
        };
        const QList<Case> cases{
            {"[Skins]\r\nHURR=x\r\n", QChar(0xFEFF) + QStringLiteral("top"), QStringLiteral("x")},
            {"[Skins]\r\nHURR=caf\xE9\r\n", QString::fromUtf8("\xC3\xAF\xC2\xBB\xC2\xBFtop"), QString::fromUtf8("caf\xC3\xA9")},
        };
        for (const Case& c : cases) {
            writeFile(ini, c.file);
            QVERIFY(kvr::writeProfileString(ini, QString(), c.key, QStringLiteral("1")));
                QCOMPARE(kvr::readProfileString(ini, QString(), c.key), QStringLiteral("1"));
            QCOMPARE(kvr::readProfileString(ini, QStringLiteral("Skins"), QStringLiteral("HURR")), c.other);
        }
    }
};

QTEST_GUILESS_MAIN(TestFuzzRegressions)
#include "test_fuzz_regressions.moc"
