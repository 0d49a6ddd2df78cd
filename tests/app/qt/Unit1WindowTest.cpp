// The Qt window driven by clicks, under the offscreen platform.
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStatusBar>
#include <QtTest>
#include <thread>

#include "../FakeWindow.h"
#include "app/Unit1Window.h"

using namespace Id;

namespace {
std::u16string Body(const QString& AEntry) {
    return Test::Body(std::u16string(reinterpret_cast<const char16_t*>(AEntry.utf16()), static_cast<size_t>(AEntry.size())));
}
}  // namespace

class Unit1WindowTest : public QObject {
    Q_OBJECT

private slots:
    void LayoutAndInitialState() {
        Test::TFakeServer server;
        TForm1Window window(server);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.size(), QSize(635, 299));
        QVERIFY(!window.windowTitle().isEmpty());
        QCOMPARE(window.Panel1->geometry(), QRect(0, 0, 635, 41));
        QCOMPARE(window.EPort->geometry(), QRect(16, 11, 121, 21));
        QCOMPARE(window.Button1->geometry(), QRect(144, 11, 75, 21));
        QCOMPARE(window.StatusBar1->height(), 19);
        QCOMPARE(window.ListBox1->geometry(), QRect(0, 41, 635, 299 - 41 - 19));
        QCOMPARE(window.EPort->text(), QStringLiteral("8000"));
        QVERIFY(window.EPort->isEnabled());
        QCOMPARE(window.Button1->text(), QStringLiteral("Connect"));
        QCOMPARE(window.ListBox1->count(), 0);
        QVERIFY(window.StatusBar1->currentMessage().isEmpty());
        const QFontInfo font(window.font());
        if (font.family() != QStringLiteral("Tahoma")) QCOMPARE(font.pixelSize(), 11);
        // Digits only.
        window.EPort->clear();
        QTest::keyClicks(window.EPort, QStringLiteral("8a0-8 1"));
        QCOMPARE(window.EPort->text(), QStringLiteral("8081"));
    }

    void ConnectLogDisconnectClose() {
        Test::TFakeServer server;
        TForm1Window window(server);
        server.OnStart = [&] {
            window.Form().Log(u"BeforeBind");
            window.Form().IdTCPServer1AfterBind(nullptr);
        };
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        QTest::mouseClick(window.Button1, Qt::LeftButton);
        QVERIFY(server.IsActive);
        QCOMPARE(server.Port, uint16_t(8000));
        QCOMPARE(window.Button1->text(), QStringLiteral("Disconnect"));
        QVERIFY(!window.EPort->isEnabled());
        QCOMPARE(window.ListBox1->count(), 2);
        QVERIFY(Body(window.ListBox1->item(1)->text()) == u"AfterBind");
        QCOMPARE(window.ListBox1->currentRow(), 1);

        // Entries from a server thread arrive through the event loop, in order.
        std::thread([&] {
            window.Form().Log(u"Connect", u"127.0.0.1", u"127.0.0.1");
            window.Form().Log(u"Execute", u"127.0.0.1", u"127.0.0.1");
            window.Form().Log(u"Receive", u"127.0.0.1", u"hello");
        }).join();
        QTRY_COMPARE(window.ListBox1->count(), 4);
        QVERIFY(Body(window.ListBox1->item(2)->text()) == u"Connect / 127.0.0.1 = 127.0.0.1");
        QVERIFY(Body(window.ListBox1->item(3)->text()) == u"Receive / 127.0.0.1 = hello");
        QVERIFY(Body(window.StatusBar1->currentMessage()) == u"Execute / 127.0.0.1 = 127.0.0.1");
        QCOMPARE(window.ListBox1->currentRow(), 3);

        QTest::mouseClick(window.Button1, Qt::LeftButton);
        QVERIFY(!server.IsActive);
        QCOMPARE(window.Button1->text(), QStringLiteral("Connect"));

        QTest::mouseClick(window.Button1, Qt::LeftButton);
        QVERIFY(server.IsActive);
        QVERIFY(window.close());
        QVERIFY(!server.IsActive);
        QVERIFY(!window.isVisible());
    }

    void FailedStartShowsItsError() {
        Test::TFakeServer server;
        TForm1Window window(server);
        window.show();
        window.EPort->clear();
        QTest::mouseClick(window.Button1, Qt::LeftButton);
        QCOMPARE(window.ListBox1->count(), 1);
        QVERIFY(Body(window.ListBox1->item(0)->text()) == u"Error / '''' ist kein gültiger Integer-Wert");
        QCOMPARE(window.Button1->text(), QStringLiteral("Connect"));
        QVERIFY(!window.EPort->isEnabled());
        QVERIFY(!server.IsActive);
    }
};

QTEST_MAIN(Unit1WindowTest)
#include "Unit1WindowTest.moc"
