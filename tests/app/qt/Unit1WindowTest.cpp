// The Qt window driven by clicks, under the offscreen platform.
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStatusBar>
#include <QtTest>

#include "../FakeWindow.h"
#include "../LoopbackClient.h"
#include "../TextPattern.h"
#include "app/Unit1Window.h"
#include <IdFramework/server/IdTCPServer.h>

using namespace Id;

namespace {
std::u16string Body(const QString& AEntry) {
    return Test::Body(std::u16string(reinterpret_cast<const char16_t*>(AEntry.utf16()), static_cast<size_t>(AEntry.size())));
}
}  // namespace

class Unit1WindowTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { InstallMainThreadWake(); }
    void cleanupTestCase() { RemoveMainThreadWake(); }

    // The program's window with its real server, driven by clicks and a real client.
    void ServesAClient() {
        TForm1Window window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const uint16_t port = Test::PickFreePort();
        QVERIFY(port != 0);
        window.EPort->setText(QString::number(port));

        QTest::mouseClick(window.Button1, Qt::LeftButton);
        QCOMPARE(window.Button1->text(), QStringLiteral("Disconnect"));
        QVERIFY(window.Form().IdTCPServer1()->Active());
        // Both listeners run before a client comes, so that the entries keep a known order.
        const int listeners = Test::HaveIPv6Loopback() ? 2 : 1;
        QTRY_COMPARE(window.ListBox1->count(), 2 * listeners + 1);
        QVERIFY(Body(window.ListBox1->item(0)->text()) == u"BeforeBind");

        Test::TTestClient client;
        QVERIFY(client.Connect("127.0.0.1", port));
        QTRY_VERIFY(Body(window.ListBox1->item(window.ListBox1->count() - 1)->text()) ==
                    u"Connect / 127.0.0.1 = 127.0.0.1");
        QTRY_VERIFY(Body(window.StatusBar1->currentMessage()) == u"Execute / 127.0.0.1 = 127.0.0.1");
        QVERIFY(client.Send("hello\r\n"));
        const std::string reply = client.ReadLine();
        QVERIFY2(Test::MatchesPattern(reply, "Thanks-##:##:## ###-for-hello-Message\r\n"), reply.c_str());
        QTRY_VERIFY(Body(window.ListBox1->item(window.ListBox1->count() - 1)->text()) == u"Receive / 127.0.0.1 = hello");
        QCOMPARE(window.ListBox1->currentRow(), window.ListBox1->count() - 1);
        const QString shot = qEnvironmentVariable("ID_WINDOW_SCREENSHOT");
        if (!shot.isEmpty()) QVERIFY(window.grab().save(shot));

        client.Close();
        QTRY_VERIFY(Body(window.ListBox1->item(window.ListBox1->count() - 1)->text()) ==
                    u"Disconnect / 127.0.0.1 = 127.0.0.1");
        const int entries = window.ListBox1->count();
        QTest::mouseClick(window.Button1, Qt::LeftButton);
        QCOMPARE(window.Button1->text(), QStringLiteral("Connect"));
        QVERIFY(!window.Form().IdTCPServer1()->Active());
        QCOMPARE(window.ListBox1->count(), entries);

        // Closing while serving stops the server, and the client sees its connection end.
        QTest::mouseClick(window.Button1, Qt::LeftButton);
        QVERIFY(window.Form().IdTCPServer1()->Active());
        QTRY_COMPARE(window.ListBox1->count(), entries + 2 * listeners + 1);
        QVERIFY(client.Connect(listeners == 2 ? "::1" : "127.0.0.1", port));
        QTRY_VERIFY(Body(window.ListBox1->item(window.ListBox1->count() - 1)->text()).rfind(u"Connect / ", 0) == 0);
        QVERIFY(window.close());
        QVERIFY(!window.Form().IdTCPServer1()->Active());
        QVERIFY(Body(window.ListBox1->item(window.ListBox1->count() - 1)->text()).rfind(u"Disconnect / ", 0) == 0);
        QVERIFY(client.WaitClosed());
    }

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
