// The check made before a package's first delete agrees with what the extraction library does
// with the package: every kind of package it refuses, and the ones it installs.
#include "extract/package_check.h"
#include "testsupport.h"
#include "zipwriter.h"

#include <QTemporaryDir>

using namespace Qt::StringLiterals;

namespace {

QByteArray le16(quint16 v)
{
    const char bytes[2] = {char(v), char(v >> 8)};
    return QByteArray(bytes, 2);
}
QByteArray le32(quint32 v)
{
    return le16(quint16(v)) + le16(quint16(v >> 16));
}
QByteArray le64(quint64 v)
{
    return le32(quint32(v)) + le32(quint32(v >> 32));
}

// A stored member "P.TPC" of four bytes: its local header and data, then its central entry at
// `offset`, declaring `size` through a ZIP64 field when it does not fit in 32 bits.
QByteArray storedMember(quint64 size)
{
    const bool wide = size > 0xFFFFFFFEu;
    return "PK\3\4" + le16(45) + le16(0) + le16(0) + le32(0) + le32(0xADF3F363) + le32(4) +
           le32(wide ? 0xFFFFFFFF : quint32(size)) + le16(5) + le16(wide ? 12 : 0) + "P.TPC" +
           (wide ? le16(1) + le16(8) + le64(size) : QByteArray()) + "data";
}
QByteArray storedCentral(quint64 size, quint32 offset)
{
    const bool wide = size > 0xFFFFFFFEu;
    return "PK\1\2" + le16(45) + le16(45) + le16(0) + le16(0) + le32(0) + le32(0xADF3F363) + le32(4) +
           le32(wide ? 0xFFFFFFFF : quint32(size)) + le16(5) + le16(wide ? 12 : 0) + le16(0) + le16(0) + le16(0) +
           le32(0) + le32(offset) + "P.TPC" + (wide ? le16(1) + le16(8) + le64(size) : QByteArray());
}
QByteArray withEnd(const QByteArray& local, const QByteArray& central, int entries)
{
    return local + central + "PK\5\6" + le16(0) + le16(0) + le16(quint16(entries)) + le16(quint16(entries)) +
           le32(quint32(central.size())) + le32(quint32(local.size())) + le16(0);
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
