#include "demo.h"
#include "guisupport.h"

#include <QImageReader>
#include <QTest>

using namespace Qt::StringLiterals;

class TestDemo : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void workspaceIsListedByTheMainWindow();
};

void TestDemo::workspaceIsListedByTheMainWindow()
{
    kvrtest::Workspace ws(/*withUnzipLibrary=*/true);
    const kvr::demo::Result demo = kvr::demo::createWorkspace(ws.root() + QStringLiteral("/demo"), ws.programFolder());
    QVERIFY(!demo.packages.isEmpty());

    // Every package has a picture that loads and a note.
    for (const QString& package : demo.packages) {
        const QString name = package.mid(5, package.size() - 9);
        QImageReader picture(demo.skinsFolder + QLatin1Char('/') + name + QStringLiteral(".jpg"));
        QCOMPARE(picture.size(), QSize(320, 240));
        QVERIFY(!kvrtest::readFile(demo.skinsFolder + QLatin1Char('/') + name + QStringLiteral(".txt")).isEmpty());
    }

    kvr::Principal& main = kvr::Principal::instance();
    QCOMPARE(main.INSTFOLDER, demo.gameFolder);
    QCOMPARE(main.SKINSFOLDER, demo.skinsFolder);
    kvr::DropDownCombo* mosquito = kvrtest::comboOf(7);
    mosquito->showPopup();
    QCOMPARE(mosquito->count(), 3);
    QCOMPARE(mosquito->itemText(1), QStringLiteral("Night Intruder"));
    mosquito->hidePopup();

    // Installing a demo skin puts the slot's files into the demo game folder.
    main.DESCOMPRIME(QStringLiteral("Sqn105"), QStringLiteral("MOSQ"));
    QCOMPARE(kvrtest::filesIn(demo.gameFolder),
             QStringList({u"DEMO-GAME-FOLDER.txt"_s, u"PMOSQ.3DZ"_s, u"PMOSQ.TPC"_s, u"PMOSQ_WING.TPC"_s}));
    QVERIFY(kvrtest::closeEveryWindow());
}

QTEST_MAIN(TestDemo)
#include "test_demo.moc"
