// The Debian package and the desktop's files it ships: what the validators say of them, the file
// types a file manager offers to the program, and what the .deb built from this build holds.
#include "installer/importer.h"
#include "testsupport.h"

#include <QMimeDatabase>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QString kAppId = u"io.github.kvrsi.KVRSI"_s;

QString shipped(const QString& suffix)
{
    return QStringLiteral(KVR_SOURCE_DIR) + u"/packaging/"_s + kAppId + suffix;
}

// The MIME types the desktop entry offers the program for.
QStringList declaredTypes()
{
    const QString entry = QString::fromUtf8(kvrtest::readFile(shipped(u".desktop"_s)));
    const QRegularExpressionMatch m =
        QRegularExpression(u"^MimeType=(.*)$"_s, QRegularExpression::MultilineOption).match(entry);
    return m.captured(1).split(u';', Qt::SkipEmptyParts);
}

} // namespace

class TestPackage : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private Q_SLOTS:
    void initTestCase()
    {
        // Our own file types beside the system's, as the package installs them.
        const QString mime = m_dir.filePath(u"share/mime"_s);
        QVERIFY(QDir().mkpath(mime + u"/packages"_s));
        QVERIFY(QFile::copy(shipped(u".mime.xml"_s), mime + u"/packages/"_s + kAppId + u".xml"_s));
        qputenv("XDG_DATA_DIRS", m_dir.filePath(u"share"_s).toUtf8() + ":/usr/local/share:/usr/share");
        const kvrtest::ToolRun update = kvrtest::runTool(u"update-mime-database"_s, {mime});
        QVERIFY2(update.exitCode == 0 && update.err.isEmpty(), update.err.constData());
    }

    void validators_data()
    {
        QTest::addColumn<QStringList>("command");
        QTest::newRow("desktop entry") << QStringList{u"desktop-file-validate"_s, shipped(u".desktop"_s)};
        QTest::newRow("AppStream metainfo")
            << QStringList{u"appstreamcli"_s, u"validate"_s, u"--no-net"_s, shipped(u".metainfo.xml"_s)};
    }
    void validators()
    {
        QFETCH(QStringList, command);
        if (QStandardPaths::findExecutable(command.first()).isEmpty())
            QSKIP(qPrintable(command.first() + u" is not installed"_s));
        const kvrtest::ToolRun run = kvrtest::runTool(command.first(), command.mid(1));
        QVERIFY2(run.exitCode == 0, QByteArray(run.out + run.err).constData());
    }

    // A file the program reads, as a file manager types it, is one the desktop entry offers to us.
    void fileTypes_data()
    {
        QTest::addColumn<QString>("name");
        for (const char* suffix : {".zip", ".7z", ".rar", ".tar", ".tar.gz", ".tgz", ".tar.bz2", ".tbz2", ".tar.xz",
                                   ".txz", ".tar.zst", ".tar.lz", ".tar.lzma", ".tar.Z", ".kvrloadout", ".kvrpack"})
            QTest::newRow(suffix) << u"MOSQ_Sqn105"_s + QLatin1String(suffix);
    }
    void fileTypes()
    {
        QFETCH(QString, name);
        if (!name.contains(u".kvr"_s))
            QVERIFY2(kvr::isImportableArchive(name), "the import does not read it");
        const QMimeType type = QMimeDatabase().mimeTypeForFile(name, QMimeDatabase::MatchExtension);
        QVERIFY2(declaredTypes().contains(type.name()), qPrintable(type.name()));
    }

    // The .deb of this build: where each file goes, with what mode; the control fields; the
    // launcher's folder as installed (not as staged); and lintian's verdict.
    void debianPackage()
    {
        if (QStandardPaths::findExecutable(u"dpkg-shlibdeps"_s).isEmpty())
            QSKIP("dpkg-dev is not installed");
        const QString out = m_dir.filePath(u"deb"_s);
        const kvrtest::ToolRun pack = kvrtest::runTool(
            QStringLiteral(KVR_CPACK_COMMAND),
            {u"-G"_s, u"DEB"_s, u"--config"_s, QStringLiteral(KVR_BINARY_DIR) + u"/CPackConfig.cmake"_s, u"-B"_s, out});
        QVERIFY2(pack.exitCode == 0, QByteArray(pack.out + pack.err).constData());
        const QStringList debs = QDir(out).entryList({u"kvrsi_*.deb"_s}, QDir::Files);
        QCOMPARE(debs.size(), 1);
        const QString deb = out + u'/' + debs.first();
        const kvrtest::ToolRun list = kvrtest::runTool(u"dpkg-deb"_s, {u"-c"_s, deb});
        const QStringList listing = QString::fromUtf8(list.out).split(u'\n', Qt::SkipEmptyParts);
        const QString share = u"./usr/share/"_s;
        for (const QString& path :
             QStringList{u"./usr/bin/kvrsi"_s, u"./usr/lib/kvrsi/kvrsi"_s, u"./usr/lib/kvrsi/libunzip32.so"_s,
                         u"./usr/lib/kvrsi/readme.txt"_s, u"./usr/lib/kvrsi/kvrsi.stamp"_s,
                         share + u"icons/hicolor/scalable/apps/"_s + kAppId + u".svg"_s,
                         share + u"applications/"_s + kAppId + u".desktop"_s,
                         share + u"metainfo/"_s + kAppId + u".metainfo.xml"_s,
                         share + u"mime/packages/"_s + kAppId + u".xml"_s}) {
            const QStringList lines = listing.filter(QRegularExpression(u" \\Q"_s + path + u"\\E$"_s));
            QVERIFY2(lines.size() == 1, qPrintable(path));
            const QString mode = path.endsWith(u"kvrsi"_s) ? u"-rwxr-xr-x"_s : u"-rw-r--r--"_s;
            QVERIFY2(lines.first().startsWith(mode + u" root/root "_s), qPrintable(lines.first()));
        }

        const kvrtest::ToolRun fields =
            kvrtest::runTool(u"dpkg-deb"_s, {u"-f"_s, deb, u"Package"_s, u"Version"_s, u"Depends"_s});
        QVERIFY2(fields.out.startsWith("Package: kvrsi\nVersion: "), fields.out.constData());
        QVERIFY2(fields.out.contains("libqt6widgets6") && fields.out.contains("qt6-qpa-plugins"),
                 fields.out.constData());
        // The metainfo names the package's version as its latest release.
        const QByteArray version = fields.out.split('\n').at(1).mid(9);
        QVERIFY2(
            kvrtest::readFile(shipped(u".metainfo.xml"_s)).contains(QByteArray("<release version=\"" + version + '"')),
            version.constData());

        QTemporaryDir tree;
        QCOMPARE(kvrtest::runTool(u"dpkg-deb"_s, {u"-x"_s, deb, tree.path()}).exitCode, 0);
        QVERIFY(kvrtest::readFile(tree.filePath(u"usr/bin/kvrsi"_s)).contains("\nlibdir='/usr/lib/kvrsi'\n"));

        if (QStandardPaths::findExecutable(u"lintian"_s).isEmpty())
            QSKIP("lintian is not installed");
        const kvrtest::ToolRun lintian = kvrtest::runTool(u"lintian"_s, {u"--fail-on"_s, u"error"_s, deb});
        QVERIFY2(lintian.exitCode == 0, QByteArray(lintian.out + lintian.err).constData());
    }
};

QTEST_GUILESS_MAIN(TestPackage)
#include "test_package.moc"
