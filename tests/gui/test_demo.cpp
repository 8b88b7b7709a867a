#include "demo.h"
#include "installer/combolist.h"
#include "installer/principal.h"
#include "testsupport.h"

#include <QImageReader>
#include <QTest>

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
    auto* mosquito = main.findChild<kvr::DropDownCombo*>(QStringLiteral("Combo7"));
    mosquito->showPopup();
    QCOMPARE(mosquito->count(), 3);
    QCOMPARE(mosquito->itemText(1), QStringLiteral("Night Intruder"));
    mosquito->hidePopup();

    // Installing a demo skin puts the slot's files into the demo game folder.
    main.DESCOMPRIME(QStringLiteral("Sqn105"), QStringLiteral("MOSQ"));
    QCOMPARE(kvrtest::filesIn(demo.gameFolder),
             QStringList({"DEMO-GAME-FOLDER.txt", "PMOSQ.3DZ", "PMOSQ.TPC", "PMOSQ_WING.TPC"}));
    delete &main;
}

QTEST_MAIN(TestDemo)
#include "test_demo.moc"
