// Every input that once broke a fuzz target's checks (tests/data/fuzz/<target>/) and the targets'
// seeds (fuzz/corpus/<target>/) go through the same checks in every build.
#include "../../fuzz/history_check.h"
#include "../../fuzz/loadout_check.h"
#include "../../fuzz/profile_check.h"
#include "../../fuzz/unzip_check.h"
#include "testsupport.h"

#include <dlfcn.h>

using namespace Qt::StringLiterals;

using kvrtest::readFile;

namespace {

void addInputs(const QString& target)
{
    QTest::addColumn<QString>("path");
    const QStringList folders{QStringLiteral(KVR_TEST_DATA "/fuzz/") + target,
                              QStringLiteral(KVR_TEST_DATA "/../../fuzz/corpus/") + target};
    for (const QString& folder : folders)
        for (const QFileInfo& file : QDir(folder).entryInfoList(QDir::Files | QDir::Hidden, QDir::Name))
            QTest::newRow(qPrintable(file.fileName())) << file.filePath();
}

} // namespace

class TestFuzzRegressions : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void profileInputs_data() { addInputs(u"fuzz_profile"_s); }
    void profileInputs()
    {
        QFETCH(QString, path);
        QTemporaryDir dir;
        const QString failure = kvrfuzz::checkProfile(readFile(path), dir.path());
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
    }

    void unzipInputs_data() { addInputs(u"fuzz_unzip"_s); }
    void unzipInputs()
    {
        QFETCH(QString, path);
        void* library = ::dlopen(KVR_UNZIP32_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        QVERIFY2(library, ::dlerror());
        auto* unzip = reinterpret_cast<Wiz_SingleEntryUnzipFn*>(::dlsym(library, "Wiz_SingleEntryUnzip"));
        QTemporaryDir dir;
        const QByteArray bytes = readFile(path);
        const std::string failure =
            kvrfuzz::checkUnzip(reinterpret_cast<const uint8_t*>(bytes.constData()), static_cast<size_t>(bytes.size()),
                                dir.path().toStdString(), unzip);
        ::dlclose(library);
        QVERIFY2(failure.empty(), failure.c_str());
    }

    void historyInputs_data() { addInputs(u"fuzz_history"_s); }
    void historyInputs()
    {
        QFETCH(QString, path);
        const char* failure = kvrfuzz::checkHistoryEntry(readFile(path));
        QVERIFY2(!failure, failure);
    }

    void loadoutInputs_data() { addInputs(u"fuzz_loadout"_s); }
    void loadoutInputs()
    {
        QFETCH(QString, path);
        const QString failure = kvrfuzz::checkLoadout(readFile(path));
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
    }
};

QTEST_GUILESS_MAIN(TestFuzzRegressions)
#include "test_fuzz_regressions.moc"
