#include "app/fileio.h"
#include "testsupport.h"

#include <QTest>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

using kvr::FileRead;
using kvr::Links;
using Status = kvr::FileRead::Status;

class TestFileIo : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void read_data();
    void read();
    void readStopsAtTheLimitWhenTheSizeIsUnknown();
    void failures_data();
    void failures();
    void pipeDoesNotBlock();
    void descriptorsAreClosed();
    void folderStream();

private:
    QTemporaryDir m_dir;
};

void TestFileIo::read_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<qint64>("limit");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("data");
    QTest::newRow("empty") << QByteArray() << qint64(10) << int(Status::Read) << QByteArray();
    QTest::newRow("empty, limit 0") << QByteArray() << qint64(0) << int(Status::Read) << QByteArray();
    QTest::newRow("exactly the limit") << QByteArray("12345") << qint64(5) << int(Status::Read) << QByteArray("12345");
    QTest::newRow("one byte over") << QByteArray("123456") << qint64(5) << int(Status::TooLarge) << QByteArray("12345");
    QTest::newRow("zero bytes kept") << QByteArray("a\0b", 3) << qint64(3) << int(Status::Read)
                                     << QByteArray("a\0b", 3);
    const QByteArray big(300000, 'x');
    QTest::newRow("large") << big << qint64(1024 * 1024) << int(Status::Read) << big;
    QTest::newRow("large, cut") << big << qint64(70000) << int(Status::TooLarge) << big.first(70000);
}

void TestFileIo::read()
{
    QFETCH(QByteArray, content);
    QFETCH(qint64, limit);
    QFETCH(int, status);
    QFETCH(QByteArray, data);
    const QString path = m_dir.filePath(QStringLiteral("file"));
    QVERIFY(kvrtest::writeFile(path, content));
    const FileRead read = kvr::readRegularFile(path, limit);
    QCOMPARE(int(read.status), status);
    QCOMPARE(read.error, 0);
    QCOMPARE(read.data, data);
}

void TestFileIo::readStopsAtTheLimitWhenTheSizeIsUnknown()
{
    // Files under /proc report size 0 and have more to read.
    const FileRead whole = kvr::readRegularFile(QStringLiteral("/proc/self/status"), 1024 * 1024);
    QCOMPARE(int(whole.status), int(Status::Read));
    QVERIFY(whole.data.startsWith("Name:"_ba));
    QVERIFY(whole.data.size() > 100);
    const FileRead cut = kvr::readRegularFile(QStringLiteral("/proc/self/status"), 16);
    QCOMPARE(int(cut.status), int(Status::TooLarge));
    QCOMPARE(cut.data, whole.data.first(16));
    // Larger than the first guess at its size: the buffer grows until the end.
    const FileRead maps = kvr::readRegularFile(QStringLiteral("/proc/self/smaps"), 64 * 1024 * 1024);
    QCOMPARE(int(maps.status), int(Status::Read));
    QVERIFY(maps.data.size() > 8192);
    QVERIFY(maps.data.endsWith('\n'));
}

void TestFileIo::failures_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("links");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("message");
    const int follow = int(Links::Follow);
    const int refuse = int(Links::Refuse);
    QTest::newRow("missing") << u"missing"_s << follow << int(Status::Failed) << ENOENT << u"File not found"_s;
    QTest::newRow("below a file") << u"plain/x"_s << follow << int(Status::Failed) << ENOTDIR << u"Path not found"_s;
    QTest::newRow("folder") << u"folder"_s << follow << int(Status::NotRegularFile) << 0 << u"File not found"_s;
    QTest::newRow("device") << u"/dev/null"_s << follow << int(Status::NotRegularFile) << 0 << u"File not found"_s;
    QTest::newRow("link refused") << u"link"_s << refuse << int(Status::Failed) << ELOOP << QString();
    QTest::newRow("dangling link") << u"dangling"_s << follow << int(Status::Failed) << ENOENT << u"File not found"_s;
    QTest::newRow("link to a folder") << u"folderlink"_s << follow << int(Status::NotRegularFile) << 0
                                      << u"File not found"_s;
}

void TestFileIo::failures()
{
    QFETCH(QString, name);
    QFETCH(int, links);
    QFETCH(int, status);
    QFETCH(int, error);
    QFETCH(QString, message);
    const QDir dir(m_dir.path());
    if (!QFileInfo::exists(dir.filePath(QStringLiteral("plain")))) {
        QVERIFY(kvrtest::writeFile(dir.filePath(QStringLiteral("plain")), "plain"_ba));
        QVERIFY(dir.mkdir(QStringLiteral("folder")));
        QVERIFY(QFile::link(dir.filePath(QStringLiteral("plain")), dir.filePath(QStringLiteral("link"))));
        QVERIFY(QFile::link(dir.filePath(QStringLiteral("nowhere")), dir.filePath(QStringLiteral("dangling"))));
        QVERIFY(QFile::link(dir.filePath(QStringLiteral("folder")), dir.filePath(QStringLiteral("folderlink"))));
    }

    const FileRead read = kvr::readRegularFile(dir.filePath(name), 100, Links(links));
    QCOMPARE(int(read.status), status);
    QCOMPARE(read.error, error);
    QVERIFY(read.data.isEmpty());
    if (!message.isNull())
        QCOMPARE(read.message(), message);
    // The same link is read through when links are followed.
    if (name == QStringLiteral("link"))
        QCOMPARE(kvr::readRegularFile(dir.filePath(name), 100).data, QByteArray("plain"));
}

void TestFileIo::pipeDoesNotBlock()
{
    // No writer ever opens the pipe: a blocking open or read would hang the test.
    const QString path = m_dir.filePath(QStringLiteral("fifo"));
    QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    for (const Links links : {Links::Follow, Links::Refuse}) {
        const FileRead read = kvr::readRegularFile(path, 100, links);
        QCOMPARE(int(read.status), int(Status::NotRegularFile));
    }
}

void TestFileIo::descriptorsAreClosed()
{
    const auto isOpen = [](int fd) { return ::fcntl(fd, F_GETFD) != -1; };
    int raw = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    QVERIFY(raw >= 0);
    {
        kvr::UniqueFd owner(raw);
        kvr::UniqueFd moved(std::move(owner));
        QVERIFY(!owner.isValid());
        QCOMPARE(moved.get(), raw);
        QVERIFY(isOpen(raw));
    }
    QVERIFY(!isOpen(raw));

    // Assigning closes the descriptor held before.
    raw = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int second = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    kvr::UniqueFd owner(raw);
    owner = kvr::UniqueFd(second);
    QVERIFY(!isOpen(raw));
    QVERIFY(isOpen(second));
    QCOMPARE(owner.release(), second);
    QVERIFY(isOpen(second));
    ::close(second);
}

void TestFileIo::folderStream()
{
    QTemporaryDir dir;
    QVERIFY(kvrtest::writeFile(dir.filePath(QStringLiteral("a.txt")), "a"_ba));
    QStringList names;
    {
        kvr::DirStream stream(dir.path());
        QVERIFY(stream.isOpen());
        QCOMPARE(stream.error(), 0);
        QVERIFY(stream.fd() >= 0);
        while (const dirent* entry = stream.next())
            names.append(QFile::decodeName(entry->d_name));
    }
    names.sort();
    QCOMPARE(names, QStringList({u"."_s, u".."_s, u"a.txt"_s}));

    const kvr::DirStream missing(dir.filePath(QStringLiteral("gone")));
    QVERIFY(!missing.isOpen());
    QCOMPARE(missing.error(), ENOENT);
    QCOMPARE(missing.fd(), -1);
}

QTEST_GUILESS_MAIN(TestFileIo)
#include "test_fileio.moc"
