#include "installer/principal.h"
#include "testsupport.h"
#include "viewer/pictureloader.h"
#include "viewer/visor.h"

#include <QBuffer>
#include <QComboBox>
#include <QImageWriter>
#include <QLabel>
#include <QListWidget>
#include <QLoggingCategory>
#include <QPlainTextEdit>
#include <QRandomGenerator>

#include <optional>
#include <tuple>

#include <sys/stat.h>

using kvr::Visor;
using kvrtest::writeFile;

namespace {

template <typename T> T* control(const char* name)
{
    return Visor::instance().findChild<T*>(QString::fromLatin1(name));
}

QStringList entries()
{
    QStringList names;
    for (int i = 0; i < control<QListWidget>("List1")->count(); ++i)
        names.append(control<QListWidget>("List1")->item(i)->text());
    return names;
}

// A choice of the user's in the filter list.
void chooseFilter(int item)
{
    control<QComboBox>("Combo1")->setCurrentIndex(item);
    Q_EMIT control<QComboBox>("Combo1")->activated(item);
}

// Chooses an entry as a click does; returns at once, the picture comes later.
bool click(const QString& entry)
{
    const auto found = control<QListWidget>("List1")->findItems(entry, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (found.isEmpty())
        return false;
    control<QListWidget>("List1")->setCurrentItem(found.first());
    return true;
}

// Waits until the latest choice's picture is shown or refused.
bool settled()
{
    return QTest::qWaitFor([] { return !Visor::instance().pictureLoading(); }, 20000);
}

// Chooses an entry and waits for its picture.
bool choose(const QString& entry)
{
    return click(entry) && settled();
}

QString heading()
{
    return control<QLabel>("Label3")->text();
}
QString note()
{
    return control<QPlainTextEdit>("Text1")->toPlainText();
}

// Whether the middle of the preview shows about this colour (JPEG is lossy).
bool shows(Qt::GlobalColor colour)
{
    const QPixmap shown = control<QLabel>("Image1")->pixmap();
    if (shown.isNull())
        return false;
    const QColor got = shown.toImage().pixelColor(shown.width() / 2, shown.height() / 2), want(colour);
    return qAbs(got.red() - want.red()) + qAbs(got.green() - want.green()) + qAbs(got.blue() - want.blue()) < 90;
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

// A picture that keeps the decoder busy for a while: twelve million pixels of fine noise over a
// colour, written progressively so the decoder goes over the whole picture many times.
QByteArray slowPicture(Qt::GlobalColor colour)
{
    QImage image(4000, 3000, QImage::Format_RGB32);
    image.fill(colour);
    auto* random = QRandomGenerator::global();
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
            line[x] ^= random->bounded(32u) * 0x010101u;
    }
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(95);
    writer.setProgressiveScanWrite(true);
    writer.write(image);
    return bytes;
}

} // namespace

class TestVisor : public QObject
{
    Q_OBJECT

    std::optional<kvrtest::Workspace> ws;
    std::optional<kvrtest::MsgBoxRecorder> messages;

    void addFiles(const QStringList& names)
    {
        for (const QString& name : names)
            writeFile(ws->skinsFolder() + "/" + name, "PK");
    }

private Q_SLOTS:
    void initTestCase() { QLoggingCategory::setFilterRules("kvr.viewer=true"); }
    void init()
    {
        ws.emplace();
        ws->writeSettings();
        messages.emplace();
    }
    void cleanup()
    {
        // Closing the viewer gives the main window back, creating it if need be.
        if (Visor::exists())
            Visor::instance().close();
        if (kvr::Principal::exists())
            kvr::Principal::instance().close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!Visor::exists() && !kvr::Principal::exists());
        QCOMPARE(messages->calls.size(), 0); // nothing the viewer meets is worth a message
        messages.reset();
        ws.reset();
    }
    void filtersByCodeWithoutRegardToCase();
    void missingSkinsFolderGivesEmptyList();
    void choiceShowsNameNoteAndPicture();
    void previewKeepsTheLastPictureUntilAnotherLoads();
    void pictureIsDecodedAwayFromTheWindow();
    void aStoppedDecodeYieldsNoPicture();
};

void TestVisor::filtersByCodeWithoutRegardToCase()
{
    addFiles({"HURR_Desert.zip", "hurr_night.ZIP", "HURRICANE.zip", "HURR_.zip", "HURR.zip", "SP2A_Sand.zip",
              "B26A_Marauder.zip", "V1V1_Doodle.zip", "XXXX_Other.zip", "ab.zip", "HURR_Desert.jpg"});
    Visor::instance().Show();
    QVERIFY(QTest::qWaitForWindowExposed(&Visor::instance()));
    // Every .zip in name order, whatever its code; names shorter than a skin name are left out.
    const QStringList all{"Marauder", "", "Desert", "night", "CANE", "Sand", "Doodle", "Other"};
    QCOMPARE(entries(), all);
    QVERIFY(note().isEmpty() && control<QLabel>("Image1")->pixmap().isNull());

    // The fifth character is not looked at: HURRICANE.zip is CANE, HURR_.zip an empty entry.
    const std::pair<int, QStringList> filters[] = {
        {1, {"", "Desert", "night", "CANE"}}, {2, {"Sand"}}, {14, {"Marauder"}}, {15, {}}, {30, {"Doodle"}}, {0, all},
    };
    for (const auto& [item, expected] : filters) {
        chooseFilter(item);
        QCOMPARE(entries(), expected);
    }
}

void TestVisor::missingSkinsFolderGivesEmptyList()
{
    // Neither a folder that is not there nor no settings at all may list some other folder.
    addFiles({"HURR_Desert.zip"});
    for (const QByteArray& settings : {QByteArray("[Folders]\r\nSkinsFolder=/nonexistent/kvr\r\n"), QByteArray()}) {
        settings.isNull() ? void(QFile::remove(ws->iniPath())) : writeFile(ws->iniPath(), settings);
        for (int item : {0, 1, 30}) {
            chooseFilter(item);
            QVERIFY2(entries().isEmpty(), settings.constData());
        }
        Visor::instance().close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

void TestVisor::choiceShowsNameNoteAndPicture()
{
    // Two slots' packages with one skin name share its note and picture.
    addFiles({"HURR_Desert Camo.zip", "SP2A_Desert Camo.zip", "HURR_.zip"});
    writeFile(ws->skinsFolder() + "/Desert Camo.txt", "Painted by 43 Sqn.\r\nSecond line");
    writeFile(ws->skinsFolder() + "/Desert Camo.jpg", picture(Qt::red));
    writeFile(ws->skinsFolder() + "/.txt", "the empty name's note");
    writeFile(ws->skinsFolder() + "/.jpg", picture(Qt::blue));

    QCOMPARE(entries(), QStringList({"", "Desert Camo", "Desert Camo"}));
    for (int row : {1, 2}) {
        control<QListWidget>("List1")->setCurrentRow(row);
        QVERIFY(settled());
        QCOMPARE(heading(), QString("Desert Camo"));
        QCOMPARE(note(), QString("Painted by 43 Sqn.\nSecond line"));
        QVERIFY(shows(Qt::red));
    }

    // The nine-character name: an empty heading, and the preview files named by the suffix alone.
    QVERIFY(choose(""));
    QCOMPARE(heading(), QString());
    QCOMPARE(note(), QString("the empty name's note"));
    QVERIFY(shows(Qt::blue));

    // Each choice reads the skins folder from the settings again.
    writeFile(ws->root() + "/moved/Desert Camo.txt", "moved");
    writeFile(ws->iniPath(), "[Folders]\r\nSkinsFolder=" + ws->root().toUtf8() + "/moved\r\n");
    QVERIFY(choose("Desert Camo"));
    QCOMPARE(note(), QString("moved"));
}

void TestVisor::previewKeepsTheLastPictureUntilAnotherLoads()
{
    addFiles({"HURR_Desert.zip", "HURR_NoteOnly.zip", "HURR_Broken.zip", "HURR_Huge.zip", "HURR_Bare.zip",
              "HURR_Folder.zip", "HURR_Big.zip", "HURR_Png.zip", "HURR_Noise.zip", "HURR_Vast.zip", "HURR_Pipe.zip",
              "SP2A_Sand.zip"});
    const QString skins = ws->skinsFolder();
    writeFile(skins + "/Desert.txt", "desert note");
    writeFile(skins + "/Desert.jpg", picture(Qt::red));
    writeFile(skins + "/NoteOnly.txt", "only a note");
    writeFile(skins + "/Broken.jpg", "this is not a picture");
    QByteArray huge = picture(Qt::white); // its header claims 60000 x 60000 pixels
    huge.replace(huge.indexOf(QByteArray("\xFF\xC0", 2)) + 5, 4, QByteArray("\xEA\x60\xEA\x60", 4));
    writeFile(skins + "/Huge.jpg", huge);
    QDir(skins).mkpath("Folder.txt");
    QDir(skins).mkpath("Folder.jpg");
    writeFile(skins + "/Big.jpg", picture(Qt::green, {3000, 2000}));
    writeFile(skins + "/Png.jpg", picture(Qt::yellow, {2000, 3000}, "PNG")); // the content decides, not the name
    QByteArray noise(20 * 1024 * 1024, '\0');                                // binary without a line break
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(noise.data()), noise.size() / 4);
    writeFile(skins + "/Noise.txt", noise.replace('\n', ' ').replace('\r', ' ').prepend("NOTE START "));

    QFile(skins + "/Vast.jpg").resize(kvr::kMaxPictureFileBytes + 1);                 // refused before a byte is read
    QVERIFY(::mkfifo(QFile::encodeName(skins + "/Pipe.jpg").constData(), 0600) == 0); // would block a reader

    QVERIFY(choose("Desert"));
    QVERIFY(choose("NoteOnly"));
    QCOMPARE(note(), QString("only a note"));
    QVERIFY(shows(Qt::red));
    // No note empties the box; a picture that cannot be loaded leaves the last one showing, and
    // says why on the viewer's diagnostic line.
    for (const char* name : {"Broken", "Huge", "Vast", "Pipe", "Bare", "Folder"}) {
        QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QString("^Note .*%1.txt.* not read").arg(name)));
        QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QString("^Picture .*%1.jpg.* not shown").arg(name)));
        QVERIFY(choose(name));
        QCOMPARE(heading(), QString(name));
        QCOMPARE(note(), QString());
        QVERIFY2(shows(Qt::red), name);
    }
    auto* image = control<QLabel>("Image1");
    for (auto [name, colour] : {std::pair{"Big", Qt::green}, std::pair{"Png", Qt::yellow}}) {
        QVERIFY(choose(name));
        QVERIFY2(shows(colour), name);
        QCOMPARE(image->pixmap().size(), image->contentsRect().size()); // not the file's size
    }
    QVERIFY(choose("Noise"));
    QVERIFY(note().startsWith("NOTE START "));

    // A new filter refills the list and leaves the last choice showing.
    QVERIFY(choose("Desert"));
    chooseFilter(2);
    QCOMPARE(entries(), QStringList{"Sand"});
    QCOMPARE(heading(), QString("Desert"));
    QCOMPARE(note(), QString("desert note"));
    QVERIFY(shows(Qt::red));
}

void TestVisor::pictureIsDecodedAwayFromTheWindow()
{
    addFiles({"HURR_Slow.zip", "HURR_Red.zip"});
    writeFile(ws->skinsFolder() + "/Slow.jpg", slowPicture(Qt::green));
    writeFile(ws->skinsFolder() + "/Slow.txt", "slow note");
    writeFile(ws->skinsFolder() + "/Red.jpg", picture(Qt::red));

    // The click returns before the picture is decoded: the name and the note show at once.
    QVERIFY(click("Slow"));
    QCOMPARE(heading(), QString("Slow"));
    QCOMPARE(note(), QString("slow note"));
    QVERIFY(Visor::instance().pictureLoading());
    QVERIFY(control<QLabel>("Image1")->pixmap().isNull());
    QVERIFY(settled());
    QVERIFY(shows(Qt::green));

    // The latest click wins, whichever picture is ready first; the previous one shows meanwhile.
    Qt::GlobalColor previous = Qt::green;
    for (auto [first, second, colour] : {std::tuple{"Slow", "Red", Qt::red}, std::tuple{"Red", "Slow", Qt::green},
                                         std::tuple{"Slow", "Red", Qt::red}}) {
        QVERIFY(click(first));
        QVERIFY(click(second));
        QCOMPARE(heading(), QString(second));
        QVERIFY(shows(previous));
        QVERIFY(settled());
        QTest::qWait(50); // room for a dropped picture to arrive late, were it not dropped
        QVERIFY2(shows(colour), second);
        previous = colour;
    }

    // Closing the window while a picture is being decoded stops it; nothing reaches the window after.
    QVERIFY(click("Slow"));
    QVERIFY(Visor::instance().pictureLoading());
    Visor::instance().close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!Visor::exists());
    QTest::qWait(50);
}

void TestVisor::aStoppedDecodeYieldsNoPicture()
{
    const QString path = ws->skinsFolder() + "/Red.jpg";
    writeFile(path, picture(Qt::red));
    std::atomic_bool stop = false;
    QCOMPARE(kvr::decodePicture(path, {32, 24}, stop).size(), QSize(32, 24));
    stop = true;
    QVERIFY_THROWS_EXCEPTION(kvr::Error, kvr::decodePicture(path, {32, 24}, stop));
}

QTEST_MAIN(TestVisor)
#include "test_visor.moc"
