// The check made before a package's first delete agrees with what the extraction library does
// with the package: every kind of package it refuses, and the ones it installs.
#include "extract/package_check.h"
#include "testsupport.h"
#include "zipbytes.h"
#include "zipwriter.h"

#include <QTemporaryDir>

using namespace Qt::StringLiterals;

using kvrtest::crc32Of;
using kvrtest::endRecord;
using kvrtest::le32;

namespace {

// A stored member "P.TPC" of four bytes declaring `size`, and its central entry at `offset`.
QByteArray storedMember(quint64 size)
{
    return kvrtest::storedLocal("P.TPC", "data", size);
}
QByteArray storedCentral(quint64 size, quint32 offset)
{
    return kvrtest::storedCentral("P.TPC", crc32Of("data"), 4, offset, size);
}
QByteArray withEnd(const QByteArray& local, const QByteArray& central, int entries)
{
    return local + central + endRecord(entries, central.size(), local.size());
}

} // namespace

class TestPackageCheck : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void judgesAsTheLibraryDoes_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("problem");
        QTest::newRow("a whole package") << u"good"_s << QString();
        QTest::newRow("named in another case") << u"other case"_s << QString();
        QTest::newRow("missing") << u"missing"_s << u"The package does not exist."_s;
        QTest::newRow("a folder") << u"folder"_s << u"The package is not a file."_s;
        QTest::newRow("a text file") << u"text"_s << u"The package is not a ZIP archive, or it is damaged."_s;
        QTest::newRow("members share data")
            << u"overlap"_s << u"The package's members share their data: it is refused whole."_s;
        // The directory need not list members in the order they lie in the file.
        QTest::newRow("listed out of order") << u"out of order"_s << QString();
        QTest::newRow("listed out of order, sharing data")
            << u"out of order, overlap"_s << u"The package's members share their data: it is refused whole."_s;
        QTest::newRow("an encrypted member")
            << u"encrypted"_s << u"The package's member \"PSECRET.TPC\" needs a password."_s;
        QTest::newRow("a size beyond the cap")
            << u"huge"_s << u"The package's member \"P.TPC\" declares a size too large to unpack."_s;
    }
    void judgesAsTheLibraryDoes()
    {
        QFETCH(QString, kind);
        QFETCH(QString, problem);
        const QTemporaryDir dir;
        const QString path = dir.path() + u"/MOSQ_X.ZIP"_s;
        const QList<kvr::ZipMember> members{{"PMOSQ1.TPC", "skin"}};
        if (kind == u"good"_s) {
            QVERIFY(kvr::writeZip(path, members));
        } else if (kind == u"other case"_s) {
            QVERIFY(kvr::writeZip(dir.path() + u"/mosq_x.zip"_s, members));
        } else if (kind == u"folder"_s) {
            QVERIFY(QDir().mkpath(path));
        } else if (kind == u"text"_s) {
            QVERIFY(kvrtest::writeFile(path, "not a package\n"_ba.repeated(10)));
        } else if (kind == u"overlap"_s) {
            const QByteArray local = storedMember(4);
            QVERIFY(kvrtest::writeFile(path, withEnd(local, storedCentral(4, 0) + storedCentral(4, 0), 2)));
        } else if (kind.startsWith(u"out of order"_s)) {
            // The second member is listed first; the first runs one byte into it when overlapping.
            const QByteArray local = storedMember(4) + storedMember(4).replace("P.TPC", "Q.TPC");
            QByteArray first = storedCentral(4, 0);
            if (kind.endsWith(u"overlap"_s))
                first.replace(20, 4, le32(5));
            const QByteArray second = storedCentral(4, quint32(local.size() / 2)).replace("P.TPC", "Q.TPC");
            QVERIFY(kvrtest::writeFile(path, withEnd(local, second + first, 2)));
        } else if (kind == u"encrypted"_s) {
            kvr::ZipMember secret("PSECRET.TPC", "skin");
            secret.encryption = ZIP_EM_AES_256;
            QVERIFY(kvr::writeZip(path, {members.first(), secret}));
        } else if (kind == u"huge"_s) {
            const quint64 huge = quint64(1) << 63;
            QVERIFY(kvrtest::writeFile(path, withEnd(storedMember(huge), storedCentral(huge, 0), 1)));
        }
        QCOMPARE(kvr::packageProblem(path), problem);
    }
};

QTEST_GUILESS_MAIN(TestPackageCheck)
#include "test_package_check.moc"
