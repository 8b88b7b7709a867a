#include "app/acercade.h"
#include "app/ayuda.h"
#include "installer/principal.h"
#include "installer/slots.h"
#include "testsupport.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QScrollBar>

#include <optional>

using kvr::Acercade;
using kvr::Ayuda;
using kvrtest::writeFile;

namespace {

QPlainTextEdit* helpBox()
{
    return Ayuda::instance().findChild<QPlainTextEdit*>("Text1");
}

template <typename Form> void closeAndDestroy()
{
    if (Form::exists())
        Form::instance().close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace

class TestHelpAbout : public QObject
{
    Q_OBJECT

    std::optional<kvrtest::Workspace> ws;
    std::optional<kvrtest::MsgBoxRecorder> messages;

private Q_SLOTS:
    void init()
    {
        ws.emplace();
        messages.emplace();
    }
    void cleanup()
    {
        closeAndDestroy<Ayuda>();
        closeAndDestroy<Acercade>();
        closeAndDestroy<kvr::Principal>();
        QCOMPARE(messages->calls.size(), 0); // neither window has anything to report
        messages.reset();
        ws.reset();
    }
    void helpReadsTheFileAtEachOpening();
    void shippedHelpFitsAndScrolls();
    void aboutShowsItsFixedTexts();
};

void TestHelpAbout::helpReadsTheFileAtEachOpening()
{
    QCOMPARE(helpBox()->toPlainText(), QString()); // no readme.txt at all
    closeAndDestroy<Ayuda>();

    const QString readme = ws->programFolder() + "/readme.txt";
    writeFile(readme, "First version\r\nof the help.");
    QCOMPARE(helpBox()->toPlainText(), QString("First version\nof the help."));
    closeAndDestroy<Ayuda>();

    // Changed while the program runs, and written on Windows (not UTF-8).
    writeFile(readme, "Caf\xE9 \x93quoted\x94");
    QCOMPARE(helpBox()->toPlainText(), QString::fromUtf8("Café “quoted”"));
}

void TestHelpAbout::shippedHelpFitsAndScrolls()
{
    QFile shipped(KVR_TEST_DATA "/../../src/app/readme.txt");
    QVERIFY(shipped.open(QIODevice::ReadOnly));
    writeFile(ws->programFolder() + "/readme.txt", shipped.readAll());
    Ayuda::instance().Show();
    QVERIFY(QTest::qWaitForWindowExposed(&Ayuda::instance()));

    QPlainTextEdit* box = helpBox();
    QCOMPARE(Ayuda::instance().windowTitle(), QString("Kestrava _ Skin Installer v1.1 _ Help"));
    QVERIFY(box->isReadOnly());
    const QString text = box->toPlainText();
    for (const kvr::Slot& s : kvr::slotTable())
        QVERIFY2(text.contains(s.SlotCode()), s.code);
    QVERIFY(box->verticalScrollBar()->isVisible() && box->verticalScrollBar()->maximum() > 0);
    // No line needs wrapping, so the tables stay lined up.
    const QFontMetrics metrics(box->font());
    const int room = box->viewport()->width() - 2 * int(box->document()->documentMargin());
    for (const QString& line : text.split('\n'))
        QVERIFY2(metrics.horizontalAdvance(line) <= room, qPrintable(line));
}

void TestHelpAbout::aboutShowsItsFixedTexts()
{
    Acercade& about = Acercade::instance();
    auto text = [&](const char* label) { return about.findChild<QLabel*>(label)->text(); };
    QCOMPARE(about.windowTitle(), QString("Kestrava _ Skin Installer v1.1 _ About..."));
    QCOMPARE(text("Label1"), QString("Kestrava _ SkinInstaller v1.1"));
    QVERIFY(!text("Label2").isEmpty());
    QCOMPARE(text("Label3"), QString("16 April 2003"));
    QCOMPARE(text("Label4"),
             QString("This Program is free, I made thinking in make more easy the use of the thousands skins for "
                     "diferents planes that this game have, so this program haven't got sense unless all KVR "
                     "programers previous work. Thanks to all for that. Hope you like it and use. "));
    QVERIFY(!about.findChild<QLabel*>("Image2")->pixmap().isNull());
}

QTEST_MAIN(TestHelpAbout)
#include "test_help_about.moc"
