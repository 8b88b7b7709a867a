#include "guisupport.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QScrollBar>

using namespace Qt::StringLiterals;

using kvr::Acercade;
using kvr::Ayuda;
using kvrtest::writeFile;

namespace {

QPlainTextEdit* helpBox()
{
    return kvrtest::childOf<QPlainTextEdit>(Ayuda::instance(), u"Text1"_s);
}

} // namespace

class TestHelpAbout : public QObject, kvrtest::ProgramFixture
{
    Q_OBJECT

private Q_SLOTS:
    void init() { openProgram(); }
    void cleanup()
    {
        QVERIFY(kvrtest::closeEveryWindow());
        QCOMPARE(messages->calls.size(), 0); // neither window has anything to report
        closeProgram();
    }
    void helpReadsTheFileAtEachOpening();
    void shippedHelpFitsAndScrolls();
    void aboutShowsItsFixedTexts();
};

void TestHelpAbout::helpReadsTheFileAtEachOpening()
{
    QCOMPARE(helpBox()->toPlainText(), QString()); // no readme.txt at all
    kvrtest::closeForms<Ayuda>();

    const QString readme = ws->programFolder() + u"/readme.txt"_s;
    QVERIFY(writeFile(readme, "First version\r\nof the help."_ba));
    QCOMPARE(helpBox()->toPlainText(), u"First version\nof the help."_s);
    kvrtest::closeForms<Ayuda>();

    // Changed while the program runs, and written on Windows (not UTF-8).
    QVERIFY(writeFile(readme, "Caf\xE9 \x93quoted\x94"));
    QCOMPARE(helpBox()->toPlainText(), QString::fromUtf8("Café “quoted”"));
}

void TestHelpAbout::shippedHelpFitsAndScrolls()
{
    QFile shipped(QStringLiteral(KVR_TEST_DATA "/../../src/app/readme.txt"));
    QVERIFY(shipped.open(QIODevice::ReadOnly));
    QVERIFY(writeFile(ws->programFolder() + u"/readme.txt"_s, shipped.readAll()));
    Ayuda::instance().Show();
    QVERIFY(QTest::qWaitForWindowExposed(&Ayuda::instance()));

    QPlainTextEdit* box = helpBox();
    QCOMPARE(Ayuda::instance().windowTitle(), u"Kestrava _ Skin Installer v1.1 _ Help"_s);
    QVERIFY(box->isReadOnly());
    const QString text = box->toPlainText();
    for (const QString& code : kvrtest::kSlotCodes)
        QVERIFY2(text.contains(code), qPrintable(code));
    QVERIFY(box->verticalScrollBar()->isVisible() && box->verticalScrollBar()->maximum() > 0);
    // No line needs wrapping, so the tables stay lined up.
    const QFontMetrics metrics(box->font());
    const int room = box->viewport()->width() - 2 * int(box->document()->documentMargin());
    for (const QString& line : text.split(u'\n'))
        QVERIFY2(metrics.horizontalAdvance(line) <= room, qPrintable(line));
}

void TestHelpAbout::aboutShowsItsFixedTexts()
{
    Acercade& about = Acercade::instance();
    auto text = [&](const QString& label) { return kvrtest::childOf<QLabel>(about, label)->text(); };
    QCOMPARE(about.windowTitle(), u"Kestrava _ Skin Installer v1.1 _ About..."_s);
    QCOMPARE(text(u"Label1"_s), u"Kestrava _ SkinInstaller v1.1"_s);
    QVERIFY(!text(u"Label2"_s).isEmpty());
    QCOMPARE(text(u"Label3"_s), u"16 April 2003"_s);
    QCOMPARE(text(u"Label4"_s),
             u"This Program is free, I made thinking in make more easy the use of the thousands skins for "
             u"diferents planes that this game have, so this program haven't got sense unless all KVR "
             u"programers previous work. Thanks to all for that. Hope you like it and use. "_s);
    QVERIFY(!kvrtest::childOf<QLabel>(about, u"Image2"_s)->pixmap().isNull());
}

QTEST_MAIN(TestHelpAbout)
#include "test_help_about.moc"
