#include "app/acercade.h"
#include "app/ayuda.h"
#include "installer/principal.h"
#include "installer/slots.h"
#include "testsupport.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTest>

#include <optional>

using kvr::Acercade;
using kvr::Ayuda;
using kvr::Principal;
using kvrtest::writeFile;

namespace {

QString helpText()
{
    return Ayuda::instance().findChild<QPlainTextEdit*>(QStringLiteral("Text1"))->toPlainText();
}

template <typename Form> void closeAndDestroy()
{
    if (Form::exists())
        Form::instance().close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

QString aboutText(const char* label)
{
    return Acercade::instance().findChild<QLabel*>(QString::fromLatin1(label))->text();
}

} // namespace

class TestHelpAbout : public QObject
{
    Q_OBJECT

    std::optional<kvrtest::Workspace> ws;
    std::optional<kvrtest::MsgBoxRecorder> messages;

private Q_SLOTS:
    void init();
    void cleanup();
    void helpWithoutReadmeIsEmpty();
    void helpReadsTheFileAtEachOpening();
    void longHelpScrolls();
    void shippedHelpCoversEverySlot();
    void aboutShowsItsFixedTexts();
};

void TestHelpAbout::init()
{
    ws.emplace();
    messages.emplace();
}

void TestHelpAbout::cleanup()
{
    closeAndDestroy<Ayuda>();
    closeAndDestroy<Acercade>();
    closeAndDestroy<Principal>();
    QVERIFY(!Ayuda::exists() && !Acercade::exists() && !Principal::exists());
    // Neither window has anything to report.
    QCOMPARE(messages->calls.size(), 0);
    messages.reset();
    ws.reset();
}

void TestHelpAbout::helpWithoutReadmeIsEmpty()
{
    Ayuda& help = Ayuda::instance();
    help.Show();
    QVERIFY(QTest::qWaitForWindowExposed(&help));
    QCOMPARE(help.windowTitle(), QStringLiteral("Kestrava _ Skin Installer v1.1 _ Help"));
    QCOMPARE(helpText(), QString());
}

void TestHelpAbout::helpReadsTheFileAtEachOpening()
{
    const QString readme = ws->programFolder() + QStringLiteral("/readme.txt");
    writeFile(readme, "First version\r\nof the help.");
    QCOMPARE(helpText(), QStringLiteral("First version\nof the help."));
    closeAndDestroy<Ayuda>();

    // Changed while the program runs, and carried over from Windows (not UTF-8).
    writeFile(readme, "Caf\xE9 \x93quoted\x94");
    QCOMPARE(helpText(), QStringLiteral("Caf\u00E9 \u201Cquoted\u201D"));
    closeAndDestroy<Ayuda>();

    QFile::remove(readme);
    QCOMPARE(helpText(), QString());
}

void TestHelpAbout::longHelpScrolls()
{
    QByteArrayList lines;
    for (int i = 1; i <= 400; ++i)
        lines.append("Line " + QByteArray::number(i));
    writeFile(ws->programFolder() + QStringLiteral("/readme.txt"), lines.join('\n'));

    Ayuda& help = Ayuda::instance();
    help.Show();
    QVERIFY(QTest::qWaitForWindowExposed(&help));
    auto* box = help.findChild<QPlainTextEdit*>(QStringLiteral("Text1"));
    QVERIFY(box->isReadOnly());
    QScrollBar* bar = box->verticalScrollBar();
    QVERIFY(bar->isVisible());
    QVERIFY(bar->maximum() > 0);
    bar->setValue(bar->maximum());
    QCOMPARE(box->cursorForPosition(QPoint(5, box->viewport()->height() - 5)).block().text(), QStringLiteral("Line 400"));
}

void TestHelpAbout::shippedHelpCoversEverySlot()
{
    // The help shipped with the program, as the help window shows it.
    QFile shipped(QStringLiteral(KVR_TEST_DATA "/../../src/app/readme.txt"));
    QVERIFY(shipped.open(QIODevice::ReadOnly));
    writeFile(ws->programFolder() + QStringLiteral("/readme.txt"), shipped.readAll());

    Ayuda& help = Ayuda::instance();
    help.Show();
    QVERIFY(QTest::qWaitForWindowExposed(&help));
    const QString text = helpText();
    for (const kvr::Slot& s : kvr::slots())
        QVERIFY2(text.contains(s.SlotCode()), s.code);
    for (const char* topic : {"Control Panel", "Update KVRSI.INI", "P*.TPC", "P*.3DZ", "KVRSI.INI", "<CODE>_<skin name>.zip"})
        QVERIFY2(text.contains(QString::fromLatin1(topic)), topic);

    // It is written for the box: no line wider than the box shows without wrapping.
    const QStringList lines = text.split(QLatin1Char('\n'));
    auto* box = help.findChild<QPlainTextEdit*>(QStringLiteral("Text1"));
    const QFontMetrics metrics(box->font());
    const int room = box->viewport()->width() - 2 * static_cast<int>(box->document()->documentMargin());
    for (const QString& line : lines)
        QVERIFY2(metrics.horizontalAdvance(line) <= room, qPrintable(line));
}

void TestHelpAbout::aboutShowsItsFixedTexts()
{
    Acercade& about = Acercade::instance();
    about.Show();
    QVERIFY(QTest::qWaitForWindowExposed(&about));
    QCOMPARE(about.windowTitle(), QStringLiteral("Kestrava _ Skin Installer v1.1 _ About..."));
    QCOMPARE(aboutText("Label1"), QStringLiteral("Kestrava _ SkinInstaller v1.1"));
    QVERIFY(!aboutText("Label2").isEmpty());
    QCOMPARE(aboutText("Label3"), QStringLiteral("16 April 2003"));
    QCOMPARE(aboutText("Label4"),
             QStringLiteral("This Program is free, I made thinking in make more easy the use of the thousands skins for "
                            "diferents planes that this game have, so this program haven't got sense unless all KVR "
                            "programers previous work. Thanks to all for that. Hope you like it and use. "));
    QCOMPARE(about.findChild<QLabel*>(QStringLiteral("Image2"))->size(), QSize(32, 32));
    for (int n = 1; n <= 5; ++n)
        QVERIFY(about.findChild<QFrame*>(QStringLiteral("Line%1").arg(n)));

    // The note is wrapped inside the window, never cut off.
    auto* note = about.findChild<QLabel*>(QStringLiteral("Label4"));
    QVERIFY(note->wordWrap());
    QVERIFY(note->height() >= note->heightForWidth(note->width()));
    QVERIFY(about.rect().contains(note->geometry()));
}

QTEST_MAIN(TestHelpAbout)
#include "test_help_about.moc"
