#include "app/filelist.h"
#include "app/toolkit.h"

#include <QTemporaryDir>
#include <QTest>

class TestToolkit : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void placeholder() { QVERIFY(kvr::wildcardMatch(u"*.*", u"abc")); }
};

QTEST_GUILESS_MAIN(TestToolkit)
#include "test_toolkit.moc"
