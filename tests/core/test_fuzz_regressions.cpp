// Every input that once broke a fuzz target's checks (tests/data/fuzz/<target>/) and the targets'
// seeds (fuzz/corpus/<target>/) go through the same checks in every build.
#include "../../fuzz/history_check.h"
#include "../../fuzz/loadout_check.h"
#include "../../fuzz/profile_check.h"
#include "../../fuzz/unzip_check.h"
#include "testsupport.h"

#include <dlfcn.h>

using namespace Qt::StringLiterals;

class TestFuzzRegressions : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void inputs_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("path");
        for (const QString& target : {u"fuzz_profile"_s, u"fuzz_unzip"_s, u"fuzz_history"_s, u"fuzz_loadout"_s})
            for (const QString& folder : QStringList{QStringLiteral(KVR_TEST_DATA "/fuzz/") + target,
                                                     QStringLiteral(KVR_TEST_DATA "/../../fuzz/corpus/") + target})
                for (const QFileInfo& file : QDir(folder).entryInfoList(QDir::Files | QDir::Hidden, QDir::Name))
                    QTest::addRow("%s/%s", qPrintable(target), qPrintable(file.fileName()))
                        << target << file.filePath();
    }
    void inputs()
    {
        QFETCH(QString, target);
        QFETCH(QString, path);
        const QByteArray bytes = kvrtest::readFile(path);
        QTemporaryDir dir;
        QString failure;
        if (target == u"fuzz_profile"_s) {
            failure = kvrfuzz::checkProfile(bytes, dir.path());
        } else if (target == u"fuzz_history"_s) {
            failure = QString::fromUtf8(kvrfuzz::checkHistoryEntry(bytes));
        } else if (target == u"fuzz_loadout"_s) {
            failure = kvrfuzz::checkLoadout(bytes);
        } else {
            void* library = ::dlopen(KVR_UNZIP32_LIBRARY, RTLD_NOW | RTLD_LOCAL);
            QVERIFY2(library, ::dlerror());
            auto* unzip = reinterpret_cast<Wiz_SingleEntryUnzipFn*>(::dlsym(library, "Wiz_SingleEntryUnzip"));
            failure =
                QString::fromStdString(kvrfuzz::checkUnzip(reinterpret_cast<const uint8_t*>(bytes.constData()),
                                                           size_t(bytes.size()), dir.path().toStdString(), unzip));
            ::dlclose(library);
        }
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
    }
};

QTEST_GUILESS_MAIN(TestFuzzRegressions)
#include "test_fuzz_regressions.moc"
