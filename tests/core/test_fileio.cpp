#include "app/fileio.h"
#include "testsupport.h"

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
    void read_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<qint64>("limit");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("data");
        QTest::newRow("empty, limit 0") << QByteArray() << qint64(0) << int(Status::Read) << QByteArray();
        QTest::newRow("exactly the limit")
            << QByteArray("12345") << qint64(5) << int(Status::Read) << QByteArray("12345");
        QTest::newRow("one byte over") << QByteArray("123456") << qint64(5) << int(Status::TooLarge)
                                       << QByteArray("12345");
        QTest::newRow("zero bytes kept") << QByteArray("a\0b", 3) << qint64(3) << int(Status::Read)
                                         << QByteArray("a\0b", 3);
    }

    void read()
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
        // Never more than one byte past the limit is read.
        const kvr::UniqueFd fd(::open(QFile::encodeName(path).constData(), O_RDONLY));
        QCOMPARE(kvr::readRegularFd(fd.get(), limit).data, data);
        QVERIFY(::lseek(fd.get(), 0, SEEK_CUR) <= limit + 1);
    }

    void readStopsAtTheLimitWhenTheSizeIsUnknown()
    {
        // Files under /proc report size 0 and have more to read than the first guess: grown past it,
        // the buffer stops one byte past the limit.
        const kvr::UniqueFd fd(::open("/proc/self/smaps", O_RDONLY));
        QCOMPARE(int(kvr::readRegularFd(fd.get(), 5000).status), int(Status::TooLarge));
        QCOMPARE(::lseek(fd.get(), 0, SEEK_CUR), off_t(5001));
        // Larger than the first guess at its size: the buffer grows until the end.
        const FileRead maps = kvr::readRegularFile(QStringLiteral("/proc/self/smaps"), 64 * 1024 * 1024);
        QCOMPARE(int(maps.status), int(Status::Read));
        QVERIFY(maps.data.size() > 8192);
        QVERIFY(maps.data.endsWith('\n'));
    }

    void failures_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("links");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("message");
        const int follow = int(Links::Follow);
        const int refuse = int(Links::Refuse);
        QTest::newRow("missing") << u"missing"_s << follow << int(Status::Failed) << ENOENT << u"File not found"_s;
        QTest::newRow("below a file") << u"plain/x"_s << follow << int(Status::Failed) << ENOTDIR
                                      << u"Path not found"_s;
        QTest::newRow("folder") << u"folder"_s << follow << int(Status::NotRegularFile) << 0 << u"File not found"_s;
        QTest::newRow("link refused") << u"link"_s << refuse << int(Status::Failed) << ELOOP << QString();
        // No writer ever opens the pipe: a blocking open or read would hang the test.
        QTest::newRow("pipe") << u"fifo"_s << follow << int(Status::NotRegularFile) << 0 << QString();
    }

    void failures()
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
            QCOMPARE(::mkfifo(QFile::encodeName(dir.filePath(u"fifo"_s)).constData(), 0600), 0);
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

    // A leaked descriptor would keep a folder's lock after its change.
    void descriptorsAreClosedByTheirLastOwner()
    {
        const auto isOpen = [](int fd) { return ::fcntl(fd, F_GETFD) != -1; };
        const auto open = [] { return ::open("/dev/null", O_RDONLY | O_CLOEXEC); };
        const int first = open(), second = open(), kept = open();
        {
            kvr::UniqueFd owner(first);
            kvr::UniqueFd moved(std::move(owner));
            QVERIFY(!owner.isValid() && isOpen(first));
            moved = kvr::UniqueFd(second); // closes the one held before
            QVERIFY(!isOpen(first) && isOpen(second));
            QCOMPARE(kvr::UniqueFd(kept).release(), kept);
        }
        QVERIFY(!isOpen(second) && isOpen(kept));
        ::close(kept);
    }

    void folderFileNeverWritesThroughALink_data()
    {
        QTest::addColumn<QString>("standing"); // what stands at the name before the write
        QTest::addColumn<int>("existing");
        QTest::addColumn<bool>("hidden"); // made under a hidden name, as where no unnamed file can be
        QTest::addColumn<int>("error");
        const int replace = int(kvr::Existing::Replace), keep = int(kvr::Existing::Keep);
        const int absent = int(kvr::Existing::Absent);
        for (const bool hidden : {false, true}) {
            for (const auto& [kind, existing] :
                 {std::pair{"replace ", replace}, std::pair{"keep ", keep}, std::pair{"absent ", absent}}) {
                const QByteArray name = (hidden ? "hidden, "_ba : ""_ba) + kind;
                QTest::newRow(QByteArray(name + "nothing"_ba).constData()) << QString() << existing << hidden << 0;
                QTest::newRow(QByteArray(name + "file"_ba).constData())
                    << u"mine"_s << existing << hidden << (existing == keep ? EEXIST : 0);
                for (const QString& link : {u"dangling"_s, u"file"_s, u"folder"_s})
                    QTest::newRow(QByteArray(name + "link to "_ba + link.toLatin1()).constData())
                        << link << existing << hidden << (existing == keep ? EEXIST : 0);
            }
        }
    }

    void folderFileNeverWritesThroughALink()
    {
        QFETCH(QString, standing);
        QFETCH(int, existing);
        QFETCH(bool, hidden);
        QFETCH(int, error);
        QTemporaryDir dir;
        const QString folder = dir.filePath(u"skins"_s), outside = dir.filePath(u"outside"_s);
        const QString at = folder + u"/name"_s;
        QVERIFY(QDir().mkpath(folder));
        const bool mine = standing == u"mine"_s;
        QVERIFY(kvrtest::plantLink(at, mine ? QString() : standing, outside));
        if (mine) {
            QVERIFY(kvrtest::writeFile(at, "mine"_ba));
            QVERIFY(::chmod(QFile::encodeName(at).constData(), 0640) == 0);
        }
        const kvr::UniqueFd fd = kvr::openFolder(folder);
        {
            kvr::forceHiddenTemporaries(hidden);
            kvr::FolderFile file(fd.get(), ".name.XXXXXX");
            kvr::forceHiddenTemporaries(false);
            // Until it is whole the file has no name, or a hidden one where it cannot be unnamed.
            QCOMPARE(QDir(folder).entryList({u".name.*"_s}, QDir::Files | QDir::Hidden).size(), hidden ? 1 : 0);
            QVERIFY(file.write("new", 3));
            QCOMPARE(file.commit("name", kvr::Existing(existing)), error);
        }

        QVERIFY(kvrtest::outsideUntouched(outside));
        // Nothing but the name in the folder: no temporary stays behind.
        QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
                 QStringList({u"name"_s}));
        struct stat st
        {
        };
        QCOMPARE(::lstat(QFile::encodeName(at).constData(), &st), 0);
        QVERIFY(error == 0 || !S_ISREG(st.st_mode) || mine);
        if (error == 0) {
            QCOMPARE(kvrtest::readFile(at), "new"_ba);
            // A replaced file's mode stays; a new one gets the umask's.
            const mode_t mask = ::umask(0);
            ::umask(mask);
            QCOMPARE(st.st_mode & 07777,
                     mine && kvr::Existing(existing) == kvr::Existing::Replace ? 0640u : 0666u & ~mask);
        }
        // A folder is opened for writing only as itself, never through a link.
        QVERIFY(QFile::link(folder, outside + u"/link2"_s));
        QVERIFY(!kvr::openFolder(outside + u"/link2"_s).isValid());
        QFile::remove(outside + u"/link2"_s);
    }

private:
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TestFileIo)
#include "test_fileio.moc"
