#include "installer/principal.h"
#include "viewer/visor.h"
#include "testsupport.h"

#include <QBuffer>
#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QRandomGenerator>
#include <QTest>

#include <optional>

using kvr::Principal;
using kvr::Visor;
using kvrtest::writeFile;

namespace {

template <typename T> T* control(const char* name)
{
    T* found = Visor::instance().findChild<T*>(QString::fromLatin1(name));
    if (!found)
        qFatal("no control %s", name);
    return found;
}

QStringList entries()
{
    QStringList names;
    auto* list = control<QListWidget>("List1");
    for (int i = 0; i < list->count(); ++i)
        names.append(list->item(i)->text());
    return names;
}

// A choice of the user's in the filter list.
void chooseFilter(int item)
{
    auto* combo = control<QComboBox>("Combo1");
    combo->setCurrentIndex(item);
    Q_EMIT combo->activated(item);
}

void choose(const QString& entry)
{
    auto* list = control<QListWidget>("List1");
    const QList<QListWidgetItem*> found = list->findItems(entry, Qt::MatchExactly | Qt::MatchCaseSensitive);
    QVERIFY2(!found.isEmpty(), qPrintable(entry));
    list->setCurrentItem(found.first());
}

QString heading()
{
    return control<QLabel>("Label3")->text();
}

QString note()
{
    return control<QPlainTextEdit>("Text1")->toPlainText();
}

// The colour in the middle of the preview, or an invalid colour when it shows nothing.
QColor shownColour()
{
    const QPixmap picture = control<QLabel>("Image1")->pixmap();
    if (picture.isNull())
        return {};
    return picture.toImage().pixelColor(picture.width() / 2, picture.height() / 2);
}

bool near(const QColor& shown, Qt::GlobalColor expected)
{
    const QColor want(expected);
    return shown.isValid() && qAbs(shown.red() - want.red()) < 40 && qAbs(shown.green() - want.green()) < 40 &&
           qAbs(shown.blue() - want.blue()) < 40;
}

QByteArray picture(Qt::GlobalColor colour, QSize size = {64, 48}, const char* format = "JPG")
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

// A JPEG whose header claims 60000 x 60000 pixels.
QByteArray hugeJpeg()
{
    QByteArray bytes = picture(Qt::white);
    const qsizetype sof = bytes.indexOf(QByteArray("\xFF\xC0", 2));
    if (sof < 0)
        qFatal("no frame header");
    for (qsizetype at : {sof + 5, sof + 7}) {
        bytes[at] = char(0xEA);
        bytes[at + 1] = char(0x60);
    }
    return bytes;
}

} // namespace

class TestVisor : public QObject
{
    Q_OBJECT

    std::optional<kvrtest::Workspace> ws;
    std::optional<kvrtest::MsgBoxRecorder> messages;

    void addFiles(const QStringList& names, const QByteArray& bytes = "PK")
    {
        for (const QString& name : names)
            writeFile(ws->skinsFolder() + QLatin1Char('/') + name, bytes);
    }

private Q_SLOTS:
    void init();
    void cleanup();
    void opensWithEveryPackageAndNothingChosen();
    void filtersByCodeWithoutRegardToCase_data();
    void filtersByCodeWithoutRegardToCase();
    void missingSkinsFolderGivesEmptyList_data();
    void missingSkinsFolderGivesEmptyList();
    void choiceShowsNameNoteAndPicture();
    void previousPictureStaysWhenNoneLoads();
    void largePicturesAreShownSmall();
    void hugeBinaryNoteShowsItsBeginning();
    void filterChangeKeepsTheLastChoice();
    void choiceReadsTheSettingsAgain();
    void listingIsTakenOnceAtOpening();
};

void TestVisor::init()
{
    ws.emplace();
    ws->writeSettings();
    messages.emplace();
}

void TestVisor::cleanup()
{
    // Closing the viewer gives the main window back, creating it if need be.
    if (Visor::exists())
        Visor::instance().close();
    if (Principal::exists())
        Principal::instance().close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!Visor::exists());
    QVERIFY(!Principal::exists());
    // Nothing the viewer meets is worth a message.
    QCOMPARE(messages->calls.size(), 0);
    messages.reset();
    ws.reset();
}

void TestVisor::opensWithEveryPackageAndNothingChosen()
{
    addFiles({QStringLiteral("XXXX_Other.zip"), QStringLiteral("HURR_Desert.zip"), QStringLiteral("readme.txt"),
              QStringLiteral("ab.zip"), QStringLiteral("HURR.zip"), QStringLiteral("sp2a_Sand.ZIP")});
    writeFile(ws->skinsFolder() + QStringLiteral("/Desert.jpg"), picture(Qt::red));

    Visor& visor = Visor::instance();
    visor.Show();
    QVERIFY(QTest::qWaitForWindowExposed(&visor));

    auto* combo = control<QComboBox>("Combo1");
    QCOMPARE(combo->count(), 31);
    QCOMPARE(combo->currentText(), QStringLiteral("All Skins"));
    QCOMPARE(combo->itemText(15), QStringLiteral("B17_F Slot "));
    // Every .zip in name order, whatever its code; names too short for a skin name are left out.
    QCOMPARE(entries(), QStringList({QStringLiteral("Desert"), QStringLiteral("Sand"), QStringLiteral("Other")}));
    QCOMPARE(heading(), QStringLiteral("Skin"));
    QCOMPARE(note(), QString());
    QVERIFY(!shownColour().isValid());
}

void TestVisor::filtersByCodeWithoutRegardToCase_data()
{
    QTest::addColumn<int>("item");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("All Skins") << 0
                               << QStringList{QStringLiteral("Marauder"), QString(), QStringLiteral("Desert"),
                                              QStringLiteral("night"), QStringLiteral("CANE"), QStringLiteral("Sand"),
                                              QStringLiteral("Doodle"), QStringLiteral("Other")};
    // The fifth character is not looked at: HURRICANE.zip is CANE, HURR_.zip an empty entry.
    QTest::newRow("HURR") << 1
                          << QStringList{QString(), QStringLiteral("Desert"), QStringLiteral("night"),
                                         QStringLiteral("CANE")};
    QTest::newRow("SP2A") << 2 << QStringList{QStringLiteral("Sand")};
    QTest::newRow("B26A") << 14 << QStringList{QStringLiteral("Marauder")};
    QTest::newRow("BB17, none") << 15 << QStringList{};
    QTest::newRow("V1V1") << 30 << QStringList{QStringLiteral("Doodle")};
}

void TestVisor::filtersByCodeWithoutRegardToCase()
{
    QFETCH(int, item);
    QFETCH(QStringList, expected);
    addFiles({QStringLiteral("HURR_Desert.zip"), QStringLiteral("hurr_night.ZIP"), QStringLiteral("HURRICANE.zip"),
              QStringLiteral("HURR_.zip"), QStringLiteral("HURR.zip"), QStringLiteral("SP2A_Sand.zip"),
              QStringLiteral("B26A_Marauder.zip"), QStringLiteral("V1V1_Doodle.zip"), QStringLiteral("XXXX_Other.zip"),
              QStringLiteral("ab.zip"), QStringLiteral("HURR_Desert.jpg")});

    Visor::instance();
    // Through another filter first: a change empties the list before refilling it.
    chooseFilter(item == 1 ? 2 : 1);
    chooseFilter(item);
    QCOMPARE(entries(), expected);
}

void TestVisor::missingSkinsFolderGivesEmptyList_data()
{
    QTest::addColumn<QByteArray>("settings");
    QTest::newRow("no settings file") << QByteArray();
    QTest::newRow("no such folder") << QByteArray("[Folders]\r\nSkinsFolder=/nonexistent/kvr/skins\r\n");
    QTest::newRow("empty value") << QByteArray("[Folders]\r\nSkinsFolder=\r\n");
}

void TestVisor::missingSkinsFolderGivesEmptyList()
{
    QFETCH(QByteArray, settings);
    QFile::remove(ws->iniPath());
    if (!settings.isEmpty())
        writeFile(ws->iniPath(), settings);
    addFiles({QStringLiteral("HURR_Desert.zip")});

    Visor::instance();
    for (int item : {0, 1, 30}) {
        chooseFilter(item);
        QVERIFY2(entries().isEmpty(), qPrintable(QString::number(item)));
    }
}

void TestVisor::choiceShowsNameNoteAndPicture()
{
    // Two slots' packages with one skin name share its note and picture.
    addFiles({QStringLiteral("HURR_Desert Camo.zip"), QStringLiteral("SP2A_Desert Camo.zip"),
              QStringLiteral("HURR_.zip")});
    writeFile(ws->skinsFolder() + QStringLiteral("/Desert Camo.txt"), "Painted by 43 Sqn.\r\nSecond line");
    writeFile(ws->skinsFolder() + QStringLiteral("/Desert Camo.jpg"), picture(Qt::red));
    writeFile(ws->skinsFolder() + QStringLiteral("/.txt"), "the empty name's note");
    writeFile(ws->skinsFolder() + QStringLiteral("/.jpg"), picture(Qt::blue));

    Visor::instance();
    QCOMPARE(entries(), QStringList({QString(), QStringLiteral("Desert Camo"), QStringLiteral("Desert Camo")}));
    auto* list = control<QListWidget>("List1");
    for (int row : {1, 2}) {
        list->setCurrentRow(row);
        QCOMPARE(heading(), QStringLiteral("Desert Camo"));
        QCOMPARE(note(), QStringLiteral("Painted by 43 Sqn.\nSecond line"));
        QVERIFY(near(shownColour(), Qt::red));
    }

    // The nine-character name: an empty heading, and the preview files named by the suffix alone.
    choose(QString());
    QCOMPARE(heading(), QString());
    QCOMPARE(note(), QStringLiteral("the empty name's note"));
    QVERIFY(near(shownColour(), Qt::blue));
}

void TestVisor::previousPictureStaysWhenNoneLoads()
{
    addFiles({QStringLiteral("HURR_Desert.zip"), QStringLiteral("HURR_NoteOnly.zip"), QStringLiteral("HURR_Broken.zip"),
              QStringLiteral("HURR_Huge.zip"), QStringLiteral("HURR_Bare.zip"), QStringLiteral("HURR_Folder.zip")});
    const QString skins = ws->skinsFolder();
    writeFile(skins + QStringLiteral("/Desert.txt"), "desert note");
    writeFile(skins + QStringLiteral("/Desert.jpg"), picture(Qt::red));
    writeFile(skins + QStringLiteral("/NoteOnly.txt"), "only a note");
    writeFile(skins + QStringLiteral("/Broken.jpg"), "this is not a picture");
    writeFile(skins + QStringLiteral("/Huge.jpg"), hugeJpeg());
    QDir(skins).mkpath(QStringLiteral("Folder.txt"));
    QDir(skins).mkpath(QStringLiteral("Folder.jpg"));

    Visor::instance();
    choose(QStringLiteral("Desert"));
    QCOMPARE(note(), QStringLiteral("desert note"));
    QVERIFY(near(shownColour(), Qt::red));

    choose(QStringLiteral("NoteOnly"));
    QCOMPARE(heading(), QStringLiteral("NoteOnly"));
    QCOMPARE(note(), QStringLiteral("only a note"));
    QVERIFY(near(shownColour(), Qt::red));

    // No note empties the box; a picture that cannot be loaded leaves the last one showing.
    for (const char* name : {"Broken", "Huge", "Bare", "Folder"}) {
        choose(QString::fromLatin1(name));
        QCOMPARE(heading(), QString::fromLatin1(name));
        QCOMPARE(note(), QString());
        QVERIFY2(near(shownColour(), Qt::red), name);
    }
}

void TestVisor::largePicturesAreShownSmall()
{
    // A PNG under a .jpg name loads too: the content decides, as for any picture.
    addFiles({QStringLiteral("HURR_Big.zip"), QStringLiteral("HURR_Png.zip")});
    writeFile(ws->skinsFolder() + QStringLiteral("/Big.jpg"), picture(Qt::green, {3000, 2000}));
    writeFile(ws->skinsFolder() + QStringLiteral("/Png.jpg"), picture(Qt::yellow, {2000, 3000}, "PNG"));

    Visor::instance();
    auto* image = control<QLabel>("Image1");
    for (auto [name, colour] : {std::pair{"Big", Qt::green}, std::pair{"Png", Qt::yellow}}) {
        choose(QString::fromLatin1(name));
        QVERIFY2(near(shownColour(), colour), name);
        // Kept at the size it is shown at, not the file's.
        QCOMPARE(image->pixmap().size(), image->contentsRect().size());
    }
}

void TestVisor::hugeBinaryNoteShowsItsBeginning()
{
    addFiles({QStringLiteral("HURR_Noise.zip")});
    QByteArray bytes = "NOTE START ";
    bytes.reserve(20 * 1024 * 1024);
    auto* random = QRandomGenerator::global();
    while (bytes.size() < 20 * 1024 * 1024) {
        const char c = static_cast<char>(random->bounded(256));
        if (c != '\n' && c != '\r')
            bytes.append(c);
    }
    writeFile(ws->skinsFolder() + QStringLiteral("/Noise.txt"), bytes);

    Visor::instance();
    choose(QStringLiteral("Noise"));
    QVERIFY(note().startsWith(QStringLiteral("NOTE START ")));
}

void TestVisor::filterChangeKeepsTheLastChoice()
{
    addFiles({QStringLiteral("HURR_Desert.zip"), QStringLiteral("SP2A_Sand.zip")});
    writeFile(ws->skinsFolder() + QStringLiteral("/Desert.txt"), "desert note");
    writeFile(ws->skinsFolder() + QStringLiteral("/Desert.jpg"), picture(Qt::red));

    Visor::instance();
    choose(QStringLiteral("Desert"));
    chooseFilter(2);
    QCOMPARE(entries(), QStringList{QStringLiteral("Sand")});
    QCOMPARE(control<QListWidget>("List1")->selectedItems().size(), 0);
    QCOMPARE(heading(), QStringLiteral("Desert"));
    QCOMPARE(note(), QStringLiteral("desert note"));
    QVERIFY(near(shownColour(), Qt::red));
}

void TestVisor::choiceReadsTheSettingsAgain()
{
    addFiles({QStringLiteral("HURR_Desert.zip")});
    writeFile(ws->skinsFolder() + QStringLiteral("/Desert.txt"), "old folder");
    const QString moved = ws->root() + QStringLiteral("/moved");
    writeFile(moved + QStringLiteral("/Desert.txt"), "new folder");

    Visor::instance();
    writeFile(ws->iniPath(), "[Folders]\r\nSkinsFolder=" + moved.toUtf8() + "\r\n");
    choose(QStringLiteral("Desert"));
    QCOMPARE(note(), QStringLiteral("new folder"));
    // The listing itself stays the one taken at opening.
    QCOMPARE(entries(), QStringList{QStringLiteral("Desert")});
}

void TestVisor::listingIsTakenOnceAtOpening()
{
    addFiles({QStringLiteral("HURR_Desert.zip")});
    Visor::instance();
    addFiles({QStringLiteral("HURR_Arctic.zip")});
    chooseFilter(1);
    QCOMPARE(entries(), QStringList{QStringLiteral("Desert")});

    Visor::instance().close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!Visor::exists());
    QCOMPARE(entries(), QStringList({QStringLiteral("Arctic"), QStringLiteral("Desert")}));
}

QTEST_MAIN(TestVisor)
#include "test_visor.moc"
