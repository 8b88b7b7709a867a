#include "guisupport.h"
#include "viewer/pictureloader.h"

#include <QBuffer>
#include <QImageWriter>
#include <QLabel>
#include <QLoggingCategory>
#include <QPlainTextEdit>
#include <QRandomGenerator>

#include <tuple>

#include <sys/stat.h>

using namespace Qt::StringLiterals;
using kvr::Visor;
using kvrtest::writeFile;

namespace {

// The viewer's list of packages (List1), its filter (Combo1), and its preview picture (Image1).
QListWidget* list()
{
    return kvrtest::childOf<QListWidget>(Visor::instance(), u"List1"_s);
}
QLabel* preview()
{
    return kvrtest::childOf<QLabel>(Visor::instance(), u"Image1"_s);
}

QStringList entries()
{
    return kvrtest::itemsOf(*list());
}

// A choice of the user's in the filter list.
void chooseFilter(int item)
{
    auto* filters = kvrtest::childOf<QComboBox>(Visor::instance(), u"Combo1"_s);
    filters->setCurrentIndex(item);
    Q_EMIT filters->activated(item);
}

// Chooses an entry as a click does; returns at once, the picture comes later.
bool click(const QString& entry)
{
    const auto found = list()->findItems(entry, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (found.isEmpty())
        return false;
    list()->setCurrentItem(found.first());
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
    return kvrtest::childOf<QLabel>(Visor::instance(), u"Label3"_s)->text();
}
QString note()
{
    return kvrtest::childOf<QPlainTextEdit>(Visor::instance(), u"Text1"_s)->toPlainText();
}

// Whether the middle of the preview shows about this colour (JPEG is lossy).
bool shows(Qt::GlobalColor colour)
{
    const QPixmap shown = preview()->pixmap();
    if (shown.isNull())
        return false;
    const QColor got = shown.toImage().pixelColor(shown.width() / 2, shown.height() / 2), want(colour);
    return qAbs(got.red() - want.red()) + qAbs(got.green() - want.green()) + qAbs(got.blue() - want.blue()) < 90;
}

// A picture of one colour. The slow one keeps the decoder busy for a while: twelve million pixels
// of fine noise over the colour, written progressively so the decoder goes over it many times.
QByteArray picture(Qt::GlobalColor colour, QSize size = {64, 48}, const char* format = "JPG", bool slow = false)
{
    QImage image(slow ? QSize(4000, 3000) : size, QImage::Format_RGB32);
    image.fill(colour);
    for (int y = 0; slow && y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
            line[x] ^= QRandomGenerator::global()->bounded(32u) * 0x010101u;
    }
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setQuality(slow ? 95 : -1);
    writer.setProgressiveScanWrite(slow);
    writer.write(image);
    return bytes;
}

} // namespace

class TestVisor : public QObject, kvrtest::ProgramFixture
{
    Q_OBJECT

    bool addFiles(const QStringList& names) { return kvrtest::plantFiles(ws->skinsFolder(), names); }

private Q_SLOTS:
    void initTestCase() { QLoggingCategory::setFilterRules(u"kvr.viewer=true"_s); }
    void init()
    {
        openProgram();
        QVERIFY(ws->writeSettings());
    }
    void cleanup()
    {
        QVERIFY(kvrtest::closeEveryWindow());
        QCOMPARE(messages->calls.size(), 0); // nothing the viewer meets is worth a message
        closeProgram();
    }
    void filtersByCodeWithoutRegardToCase();
    void choiceShowsNameNoteAndPicture();
    void pictureIsDecodedAwayFromTheWindow();
};

void TestVisor::filtersByCodeWithoutRegardToCase()
{
    QVERIFY(addFiles({u"HURR_Desert.zip"_s, u"hurr_night.ZIP"_s, u"SP2A_Sand.zip"_s, u"B26A_Marauder.zip"_s,
                      u"V1V1_Doodle.zip"_s, u"XXXX_Other.zip"_s, u"HURR_Desert.jpg"_s}));
    Visor::instance().Show();
    QVERIFY(QTest::qWaitForWindowExposed(&Visor::instance()));
    // Every package in name order, whatever its code; which files are packages is the slot table's test.
    const QStringList all{u"Marauder"_s, u"Desert"_s, u"night"_s, u"Sand"_s, u"Doodle"_s, u"Other"_s};
    QCOMPARE(entries(), all);
    QVERIFY(note().isEmpty() && preview()->pixmap().isNull());

    // Each filter entry is its slot's code; which names a code takes is the slot table's own test.
    const std::pair<int, QStringList> filters[] = {
        {1, {u"Desert"_s, u"night"_s}},
        {30, {u"Doodle"_s}},
        {0, all},
    };
    for (const auto& [item, expected] : filters) {
        chooseFilter(item);
        QCOMPARE(entries(), expected);
    }

    // Neither a folder that is not there nor no settings at all may list some other folder.
    for (const QByteArray& settings : {kvrtest::Workspace::foldersSection({}, u"/nonexistent/kvr"_s), QByteArray()}) {
        kvrtest::closeWindow(Visor::instance()); // read afresh as the window loads
        QVERIFY(settings.isNull() ? QFile::remove(ws->iniPath()) : writeFile(ws->iniPath(), settings));
        for (int item : {0, 1}) {
            chooseFilter(item);
            QVERIFY2(entries().isEmpty(), settings.constData());
        }
    }
}

void TestVisor::choiceShowsNameNoteAndPicture()
{
    QVERIFY(
        addFiles({u"HURR_Desert Camo.zip"_s, u"SP2A_Desert Camo.zip"_s, u"HURR_.zip"_s, u"HURR_NoteOnly.zip"_s,
                  u"HURR_Broken.zip"_s, u"HURR_Huge.zip"_s, u"HURR_Bare.zip"_s, u"HURR_Folder.zip"_s, u"HURR_Big.zip"_s,
                  u"HURR_Png.zip"_s, u"HURR_Vast.zip"_s, u"HURR_Pipe.zip"_s, u"SP2A_Sand.zip"_s}));
    const QString skins = ws->skinsFolder();
    QVERIFY(writeFile(skins + u"/Desert Camo.txt"_s, "Painted by 43 Sqn.\r\nSecond line"_ba));
    QVERIFY(writeFile(skins + u"/Desert Camo.jpg"_s, picture(Qt::red)));
    QVERIFY(writeFile(skins + u"/.txt"_s, "the empty name's note"_ba));
    QVERIFY(writeFile(skins + u"/.jpg"_s, picture(Qt::blue)));
    QVERIFY(writeFile(skins + u"/NoteOnly.txt"_s, "only a note"_ba));
    QVERIFY(writeFile(skins + u"/Broken.jpg"_s, "this is not a picture"_ba));
    QByteArray huge = picture(Qt::white); // its header claims 60000 x 60000 pixels
    huge.replace(huge.indexOf(QByteArray("\xFF\xC0", 2)) + 5, 4, QByteArray("\xEA\x60\xEA\x60", 4));
    QVERIFY(writeFile(skins + u"/Huge.jpg"_s, huge));
    QDir(skins).mkpath(u"Folder.txt"_s);
    QDir(skins).mkpath(u"Folder.jpg"_s);
    QVERIFY(writeFile(skins + u"/Big.jpg"_s, picture(Qt::green, {3000, 2000})));
    QVERIFY(writeFile(skins + u"/Png.jpg"_s,
                      picture(Qt::yellow, {2000, 3000}, "PNG")));        // the content decides, not the name
    QFile(skins + u"/Vast.jpg"_s).resize(kvr::kMaxPictureFileBytes + 1); // refused before a byte is read
    QVERIFY(::mkfifo(QFile::encodeName(skins + u"/Pipe.jpg"_s).constData(), 0600) == 0); // would block a reader

    // The nine-character name: an empty heading, and the preview files named by the suffix alone.
    QVERIFY(choose(u""_s));
    QCOMPARE(heading(), QString());
    QCOMPARE(note(), u"the empty name's note"_s);
    QVERIFY(shows(Qt::blue));
    // Two slots' packages with one skin name share its note and picture.
    const auto camo = list()->findItems(u"Desert Camo"_s, Qt::MatchExactly);
    QCOMPARE(camo.size(), 2);
    for (QListWidgetItem* item : camo) {
        list()->setCurrentItem(item);
        QVERIFY(settled());
        QCOMPARE(heading(), u"Desert Camo"_s);
        QCOMPARE(note(), u"Painted by 43 Sqn.\nSecond line"_s);
        QVERIFY(shows(Qt::red));
    }

    QVERIFY(choose(u"NoteOnly"_s));
    QCOMPARE(note(), u"only a note"_s);
    QVERIFY(shows(Qt::red));
    // No note empties the box; a picture that cannot be loaded leaves the last one showing, and
    // says why on the viewer's diagnostic line.
    for (const QString& name : {u"Broken"_s, u"Huge"_s, u"Vast"_s, u"Pipe"_s, u"Bare"_s, u"Folder"_s}) {
        QTest::ignoreMessage(QtInfoMsg, QRegularExpression(u"^Note .*%1.txt.* not read"_s.arg(name)));
        QTest::ignoreMessage(QtInfoMsg, QRegularExpression(u"^Picture .*%1.jpg.* not shown"_s.arg(name)));
        QVERIFY(choose(name));
        QCOMPARE(heading(), name);
        QCOMPARE(note(), QString());
        QVERIFY2(shows(Qt::red), qPrintable(name));
    }
    for (auto [name, colour] : {std::pair{u"Big"_s, Qt::green}, std::pair{u"Png"_s, Qt::yellow}}) {
        QVERIFY(choose(name));
        QVERIFY2(shows(colour), qPrintable(name));
        QCOMPARE(preview()->pixmap().size(), preview()->contentsRect().size()); // not the file's size
    }

    // A new filter refills the list and leaves the last choice showing.
    QVERIFY(choose(u"Desert Camo"_s));
    chooseFilter(2);
    QCOMPARE(entries(), QStringList({u"Desert Camo"_s, u"Sand"_s}));
    QCOMPARE(heading(), u"Desert Camo"_s);
    QVERIFY(shows(Qt::red));

    // Each choice reads the skins folder from the settings again.
    QVERIFY(writeFile(ws->root() + u"/moved/Desert Camo.txt"_s, "moved"_ba));
    QVERIFY(writeFile(ws->iniPath(), kvrtest::Workspace::foldersSection({}, ws->root() + u"/moved"_s)));
    QVERIFY(choose(u"Desert Camo"_s));
    QCOMPARE(note(), u"moved"_s);
}
void TestVisor::pictureIsDecodedAwayFromTheWindow()
{
    QVERIFY(addFiles({u"HURR_Slow.zip"_s, u"HURR_Red.zip"_s, u"HURR_Note.zip"_s}));
    QVERIFY(writeFile(ws->skinsFolder() + u"/Slow.jpg"_s, picture(Qt::green, {}, "JPG", true)));
    QVERIFY(writeFile(ws->skinsFolder() + u"/Slow.txt"_s, "slow note"_ba));
    QVERIFY(writeFile(ws->skinsFolder() + u"/Red.jpg"_s, picture(Qt::red)));

    // The click returns before the picture is decoded: the name and the note show at once.
    QVERIFY(click(u"Slow"_s));
    QCOMPARE(heading(), u"Slow"_s);
    QCOMPARE(note(), u"slow note"_s);
    QVERIFY(Visor::instance().pictureLoading());
    QVERIFY(preview()->pixmap().isNull());
    QVERIFY(settled());
    QVERIFY(shows(Qt::green));

    // The latest click wins, whichever picture is ready first; the previous one shows meanwhile.
    Qt::GlobalColor previous = Qt::green;
    for (auto [first, second, colour] :
         {std::tuple{u"Slow"_s, u"Red"_s, Qt::red}, std::tuple{u"Red"_s, u"Slow"_s, Qt::green}}) {
        QVERIFY(click(first));
        QVERIFY(click(second));
        QCOMPARE(heading(), second);
        QVERIFY(shows(previous));
        QVERIFY(settled());
        QTest::qWait(50); // room for a dropped picture to arrive late, were it not dropped
        QVERIFY2(shows(colour), qPrintable(second));
        previous = colour;
    }

    // A later choice without a picture stops nothing: the earlier picture shows beside its name
    // and note once decoded, as when the clicks come slowly.
    QVERIFY(writeFile(ws->skinsFolder() + u"/Note.txt"_s, "only a note"_ba));
    QVERIFY(click(u"Slow"_s));
    QVERIFY(click(u"Note"_s));
    QVERIFY(settled());
    QCOMPARE(heading(), u"Note"_s);
    QCOMPARE(note(), u"only a note"_s);
    QVERIFY(shows(Qt::green));

    // Closing the window while a picture is being decoded stops it; nothing reaches the window after.
    QVERIFY(click(u"Slow"_s));
    QVERIFY(Visor::instance().pictureLoading());
    kvrtest::closeWindow(Visor::instance());
    QVERIFY(!Visor::exists());
    QTest::qWait(50);

    // A stopped decode yields no picture at all.
    const QString red = ws->skinsFolder() + u"/Red.jpg"_s;
    std::atomic_bool stop = false;
    QCOMPARE(kvr::decodePicture(red, {32, 24}, stop).size(), QSize(32, 24));
    stop = true;
    QVERIFY_THROWS_EXCEPTION(kvr::Error, kvr::decodePicture(red, {32, 24}, stop));
}

QTEST_MAIN(TestVisor)
#include "test_visor.moc"
