// The windows as a user meets them: the splash handing over to the main window, each child window
// withdrawing the main window until closed, fixed sizes that hold every caption whole at the
// desktop's font and a larger one, sharp pictures at scale factor 2, the help text, and the
// program's pictures drawn sharp rather than empty or flat (a drawing that fails to parse shows here).
#include "app/art.h"
#include "guisupport.h"

#include <QAbstractButton>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QScrollBar>
#include <QWindow>

#include <optional>

using namespace Qt::StringLiterals;

using kvr::Principal;
using kvrtest::writeFile;

namespace {

// The named control that holds the keyboard focus (an editable combo box hands it to its text field).
QString focusedControl()
{
    QWidget* focus = QApplication::focusWidget();
    if (focus && qobject_cast<QComboBox*>(focus->parentWidget()))
        focus = focus->parentWidget();
    return focus ? focus->objectName() : QString();
}

// What a fixed-size window fails to show whole or sharp; empty when all is well.
QString faults(const QWidget& window)
{
    QStringList faults;
    if (window.minimumSize() != window.maximumSize() || window.size() != window.minimumSize())
        faults << u"not of one fixed size"_s;
    const auto size = [](QSize s) { return u"%1x%2"_s.arg(s.width()).arg(s.height()); };
    for (const QWidget* widget : window.findChildren<QWidget*>()) {
        if (!widget->isVisibleTo(&window) || widget->objectName().isEmpty())
            continue;
        const QString name = widget->objectName();
        if (!window.rect().contains(QRect(widget->mapTo(&window, QPoint()), widget->size())))
            faults << name + u" lies outside the window"_s;
        QSize needed;
        if (const auto* label = qobject_cast<const QLabel*>(widget)) {
            const QPixmap pixmap = label->pixmap();
            if (!pixmap.isNull() && (pixmap.width() < label->contentsRect().width() * window.devicePixelRatio() ||
                                     pixmap.height() < label->contentsRect().height() * window.devicePixelRatio()))
                faults << name + u" blurs its picture of "_s + size(pixmap.size());
            // A path label shortens its text on purpose; a picture has no text to fit.
            if (qobject_cast<const kvr::PathLabel*>(label) || label->text().isEmpty())
                continue;
            needed =
                label->wordWrap() ? QSize(label->width(), label->heightForWidth(label->width())) : label->sizeHint();
        } else if (const auto* button = qobject_cast<const QAbstractButton*>(widget)) {
            needed = button->sizeHint();
        } else {
            continue;
        }
        if (needed.width() > widget->width() || needed.height() > widget->height())
            faults << name + u" needs "_s + size(needed) + u", has "_s + size(widget->size());
    }
    return faults.join(u"; "_s);
}

// Notes whether the main window was available at the moment a window of that name was shown.
class ShowWatcher : public QObject
{
public:
    explicit ShowWatcher(QString name) : m_name(std::move(name)) { qApp->installEventFilter(this); }
    std::optional<bool> mainAvailable;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Show && watched->objectName() == m_name && !mainAvailable)
            mainAvailable = Principal::instance().isEnabled();
        return false;
    }

private:
    QString m_name;
};

QPlainTextEdit* helpBox()
{
    return kvrtest::childOf<QPlainTextEdit>(kvr::Ayuda::instance(), u"Text1"_s);
}

} // namespace

class TestLayout : public QObject, kvrtest::ProgramFixture
{
    Q_OBJECT

    QFont desktopFont;

private Q_SLOTS:
    void initTestCase()
    {
        QApplication::setQuitOnLastWindowClosed(false);
        desktopFont = QApplication::font();
    }
    void init()
    {
        openProgram();
        QVERIFY(ws->writeSettings(kvrtest::skinsSection({u"MOSQ=Desert"_s})));
    }
    void cleanup()
    {
        QVERIFY(kvrtest::closeEveryWindow());
        QCOMPARE(messages->calls.size(), 0); // no window here has anything to report
        QApplication::setFont(desktopFont);
        closeProgram();
    }

    void splashHandsOverExactlyOnce();
    void childWindows_data();
    void childWindows();
    void tabOrderFollowsTheLayout();
    void shippedHelpFitsAndScrolls();
    void picturesAndIcons();
    void packagedFilesMatchTheProgram();
};

void TestLayout::splashHandsOverExactlyOnce()
{
    const QPointer<kvr::Presentacion> splash(&kvr::Presentacion::instance());
    splash->Show();
    QVERIFY(QTest::qWaitForWindowExposed(splash));
    QVERIFY2(faults(*splash).isEmpty(), qPrintable(faults(*splash)));
    QTest::qWait(600);
    QVERIFY(!Principal::exists()); // not even loaded while the splash shows
    QTRY_VERIFY_WITH_TIMEOUT(Principal::exists(), 3000);
    QTRY_VERIFY(splash.isNull());
    Principal& main = Principal::instance();
    QVERIFY(main.isVisible() && main.isEnabled());

    // A second run of the handler would show the main window again.
    main.hide();
    QTest::qWait(1500);
    QVERIFY(!main.isVisible());
}

void TestLayout::childWindows_data()
{
    QTest::addColumn<int>("extraPoints");
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("child");
    QTest::addColumn<bool>("withdrawnFirst");
    QTest::addColumn<QString>("title"); // after "Kestrava _ Skin Installer v1.1 _ "
    // Each row is named by its button's caption.
    for (int extra : {0, 3}) {
        const char* font = extra ? ", font three points larger" : "";
        QTest::addRow("Skin Wiewer%s", font) << extra << u"Command4"_s << u"Visor"_s << false << u"Wiewer"_s;
        QTest::addRow("Control Panel%s", font)
            << extra << u"Command2"_s << u"ControlPanel"_s << false << u"Control Panel"_s;
        QTest::addRow("Help%s", font) << extra << u"Command3"_s << u"Ayuda"_s << false << u"Help"_s;
        QTest::addRow("About...%s", font) << extra << u"Command5"_s << u"Acercade"_s << true << u"About..."_s;
    }
}

void TestLayout::childWindows()
{
    QFETCH(int, extraPoints);
    QFETCH(QString, button);
    QFETCH(QString, child);
    QFETCH(bool, withdrawnFirst);
    QFETCH(QString, title);
    QFont font = desktopFont;
    font.setPointSizeF(font.pointSizeF() + extraPoints);
    QApplication::setFont(font);
    Principal& main = Principal::instance(); // loaded after the font is set, as at start-up
    main.Show();
    QVERIFY(QTest::qWaitForWindowActive(&main));
    QVERIFY2(faults(main).isEmpty(), qPrintable(faults(main)));
    const QPointer<Principal> mainAlive(&main);

    ShowWatcher watcher(child);
    QCOMPARE(main.windowTitle(), u"Kestrava _ Skin Installer v1.1 _ Principal"_s);
    auto* opener = kvrtest::childOf<QAbstractButton>(main, button);
    QCOMPARE(opener->text(), QString::fromLatin1(QTest::currentDataTag()).section(u',', 0, 0));
    opener->setFocus();
    QTest::keyClick(opener, Qt::Key_Space);
    const QPointer<QWidget> window = kvrtest::openWindow(child);
    QVERIFY(window && window->isEnabled());
    QVERIFY(QTest::qWaitForWindowExposed(window));
    QVERIFY2(faults(*window).isEmpty(), qPrintable(faults(*window)));
    QCOMPARE(window->windowTitle(), u"Kestrava _ Skin Installer v1.1 _ "_s + title);
    if (child == "Acercade"_L1) {
        const auto text = [&window](const QString& label) { return kvrtest::childOf<QLabel>(*window, label)->text(); };
        QCOMPARE(text(u"Label1"_s), u"Kestrava _ SkinInstaller v1.1"_s);
        QCOMPARE(text(u"Label3"_s), u"16 April 2003"_s);
        QCOMPARE(text(u"Label4"_s),
                 u"This Program is free, I made thinking in make more easy the use of the thousands skins for "
                 u"diferents planes that this game have, so this program haven't got sense unless all KVR "
                 u"programers previous work. Thanks to all for that. Hope you like it and use. "_s);
        QVERIFY(!kvrtest::childOf<QLabel>(*window, u"Image2"_s)->pixmap().isNull());
    }
    QCOMPARE(watcher.mainAvailable, std::optional<bool>(!withdrawnFirst));
    QVERIFY(!main.isEnabled() && main.isVisible());
    // The window manager keeps the child above the main window, and the main window stays inert.
    QVERIFY(window->windowHandle() && main.windowHandle());
    QCOMPARE(window->windowHandle()->transientParent(), main.windowHandle());
    for (const QString& other : {u"Command2"_s, u"Command4"_s, u"Command5"_s})
        QTest::mouseClick(kvrtest::childOf<QAbstractButton>(main, other), Qt::LeftButton);
    QCOMPARE(kvrtest::openWindow(child), window.data());
    QCOMPARE(kvrtest::openWindow(child == "Visor"_L1 ? u"Acercade"_s : u"Visor"_s), nullptr);

    // Given back, the main window is the same one, not loaded again, and the focus is where it was;
    // the child goes, to load afresh.
    QVERIFY(writeFile(ws->iniPath(), kvrtest::skinsSection({u"MOSQ=Changed meanwhile"_s})));
    kvrtest::closeWindow(*window);
    QVERIFY(window.isNull());
    QVERIFY(mainAlive && main.isEnabled());
    QCOMPARE(kvrtest::comboOf(7)->Text(), u"Desert"_s);
    main.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&main));
    QCOMPARE(focusedControl(), button);
}

// The keyboard's order follows the layout, whatever it is: down each column of slot boxes, then
// along the buttons, and round to the first box again.
void TestLayout::tabOrderFollowsTheLayout()
{
    Principal& main = Principal::instance();
    main.Show();
    QVERIFY(QTest::qWaitForWindowActive(&main));
    // The controls' names by where they lie: left to right, and down within a column.
    const auto byPlace = [&main](const QString& name, int count) {
        QMap<std::pair<int, int>, QString> placed;
        for (int n = 1; n <= count; ++n) {
            const QPoint at = kvrtest::childOf<QWidget>(main, name.arg(n))->mapTo(&main, QPoint());
            placed.insert({at.x(), at.y()}, name.arg(n));
        }
        return placed.values();
    };
    const QStringList boxes = byPlace(u"Combo%1"_s, 30);
    const QStringList expected = boxes + byPlace(u"Command%1"_s, 5) + boxes.mid(0, 1);
    main.findChild<QWidget*>(expected.first())->setFocus();
    QStringList order;
    for (qsizetype i = 0; i < expected.size(); ++i) {
        order << focusedControl();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    QCOMPARE(order, expected);
}

// The help reads readme.txt at each opening: none at first, then the shipped one.
void TestLayout::shippedHelpFitsAndScrolls()
{
    QCOMPARE(helpBox()->toPlainText(), QString());
    kvrtest::closeForms<kvr::Ayuda>();
    const QByteArray shipped = kvrtest::readFile(QStringLiteral(KVR_TEST_DATA "/../../src/app/readme.txt"));
    QVERIFY(writeFile(ws->programFolder() + u"/readme.txt"_s, shipped));
    kvr::Ayuda::instance().Show();
    QVERIFY(QTest::qWaitForWindowExposed(&kvr::Ayuda::instance()));

    QPlainTextEdit* box = helpBox();
    QVERIFY(box->isReadOnly());
    const QString text = box->toPlainText();
    QCOMPARE(text, QString::fromUtf8(shipped));
    for (const QString& code : kvrtest::kSlotCodes)
        QVERIFY2(text.contains(code), qPrintable(code));
    // It tells of every command of the main window's menu, and no longer of backups to keep.
    std::unique_ptr<QMenu> menu(kvr::buildPrincipalMenu(kvr::Principal::instance()));
    for (const QAction* entry : menu->actions())
        if (const QString name = entry->text().section(u':', 0, 0).remove(u"..."_s); !name.isEmpty())
            QVERIFY2(text.contains(u'"' + name), qPrintable(name));
    QVERIFY(!text.contains(u"backup"_s, Qt::CaseInsensitive));
    QVERIFY(box->verticalScrollBar()->isVisible() && box->verticalScrollBar()->maximum() > 0);
    // No line needs wrapping, so the tables stay lined up.
    const QFontMetrics metrics(box->font());
    const int room = box->viewport()->width() - 2 * int(box->document()->documentMargin());
    for (const QString& line : text.split(u'\n'))
        QVERIFY2(metrics.horizontalAdvance(line) <= room, qPrintable(line));
}

// Every picture and icon is drawn at scale 2 with twice the pixels, each unlike the others, covering
// its rectangle (pictures whole, icons mostly): a drawing that fails to parse leaves it empty.
void TestLayout::picturesAndIcons()
{
    QList<std::pair<QPixmap, int>> drawings; // the share of pixels that must be opaque, in percent
    for (const QPixmap& picture : {kvr::splashPicture(), kvr::bannerPicture(), kvr::mainPicture()})
        drawings.append({picture, 100});
    QList<QIcon> icons = {kvr::programIcon()};
    for (kvr::ButtonArt which :
         {kvr::ButtonArt::ResetSkins, kvr::ButtonArt::SkinViewer, kvr::ButtonArt::ControlPanel, kvr::ButtonArt::Help,
          kvr::ButtonArt::About, kvr::ButtonArt::Finger, kvr::ButtonArt::Update})
        icons.append(kvr::buttonIcon(which));
    QList<QImage> seen;
    for (const QIcon& icon : icons) {
        QVERIFY(!icon.isNull());
        for (int side : {16, 32}) {
            drawings.append({icon.pixmap(side), 20});
            QCOMPARE(drawings.last().first.deviceIndependentSize().toSize(), QSize(side, side));
        }
        const QImage normal = icon.pixmap(32).toImage();
        QVERIFY2(!seen.contains(normal), "two icons look the same");
        seen.append(normal);
        QVERIFY2(icon.pixmap(32, QIcon::Disabled).toImage() != normal, "disabled icon not dimmed");
    }
    for (const auto& [pixmap, opaque] : drawings) {
        QCOMPARE(pixmap.devicePixelRatio(), qApp->devicePixelRatio());
        const QImage image = pixmap.toImage();
        int drawn = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                drawn += qAlpha(image.pixel(x, y)) > (opaque == 100 ? 254 : 128);
        QVERIFY2(drawn * 100 >= image.width() * image.height() * opaque, "a stray mark, or a picture with holes");
    }
    // A window manager asks for the window icon at exact pixel sizes, at scale 1 too.
    QCOMPARE(kvr::programIcon().pixmap(QSize(16, 16), 1.0).size(), QSize(16, 16));
}

// The package's icon is the program's own, and its desktop entry starts this program with that
// icon (the entry's form is the package validator's to check).
void TestLayout::packagedFilesMatchTheProgram()
{
    const QString packaging = QStringLiteral(KVR_TEST_DATA "/../../packaging/");
    QFile packaged(packaging + u"kvrsi.svg"_s), resource(u":/art/icon.svg"_s);
    QVERIFY(packaged.open(QIODevice::ReadOnly) && resource.open(QIODevice::ReadOnly));
    QCOMPARE(packaged.readAll(), resource.readAll());
    const QStringList desktop =
        QString::fromUtf8(kvrtest::readFile(packaging + u"io.github.kvrsi.KVRSI.desktop"_s)).split(u'\n');
    for (const QString& entry : {u"Exec=kvrsi %F"_s, u"Icon=io.github.kvrsi.KVRSI"_s})
        QVERIFY2(desktop.contains(entry), qPrintable(entry));
}

int main(int argc, char* argv[])
{
    qputenv("QT_SCALE_FACTOR", "2"); // every size is device-independent, drawn at twice the pixels
    QApplication app(argc, argv);
    TestLayout test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_layout.moc"
