// The main window's Help side: tips, the home page and the update check.

#include "app/main_window_fixture.h"
#include "support/engine_inspector.h"

namespace vidmill {

// A web server of one answer: `answer` goes back to every request, or
// nothing at all when it is empty.
class OneAnswerServer : public QObject {
  public:
    explicit OneAnswerServer(QByteArray answer) : answer_(std::move(answer)) {
        server_.listen(QHostAddress::LocalHost);
        connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = server_.nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                    request_ += socket->readAll();
                    if (request_.contains("\r\n\r\n") && !answer_.isEmpty()) {
                        socket->write(answer_);
                        socket->disconnectFromHost();
                    }
                });
            }
        });
    }
    QString url() const {
        return QStringLiteral("http://127.0.0.1:%1/version.txt").arg(server_.serverPort());
    }
    void stop() { server_.close(); }

  private:
    QTcpServer server_;
    QByteArray answer_;
    QByteArray request_;
};

QByteArray httpAnswer(const char* status, const QByteArray& body) {
    return QByteArray("HTTP/1.1 ") + status +
           "\r\nContent-Type: text/plain\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

class MainWindowHelpTest : public MainWindowFixture {
    Q_OBJECT

  private slots:
    void init() { initWindowTest(); }
    void cleanup() { cleanupWindowTest(); }

    void tipsShowAtFirstActivationUntilTurnedOff() {
        open();
        QVERIFY(waitFor([&] { return desktop_.tipsShown.size() == 1; }));
        QCOMPARE(desktop_.tipsShown, QList<bool>({true}));
        // From the menu, the check box cleared there is kept.
        desktop_.tipsKept = false;
        window_->actions().tipOfTheDay->trigger();
        QCOMPARE(desktop_.tipsShown, QList<bool>({true, true}));
        QVERIFY(!inspect(window_->engine()).settings().showTips);
        reopen();
        // The start's first activation is a queued call: once a call queued
        // after it has run, so has it.
        bool settled = false;
        QMetaObject::invokeMethod(
            window_.get(), [&] { settled = true; }, Qt::QueuedConnection);
        QVERIFY(waitFor([&] { return settled; }));
        QCOMPARE(desktop_.tipsShown.size(), 2);  // not at this start
        window_->actions().tipOfTheDay->trigger();
        QCOMPARE(desktop_.tipsShown.last(), false);
    }

    void homePageFollowsTheBuildSetting() {
        open();
        QVERIFY(!window_->actions().homePage->isVisible());

        homePage_ = "https://vidmill.example/";
        reopen();
        QAction* homePage = window_->actions().homePage;
        QVERIFY(homePage->isVisible());
        homePage->trigger();
        QCOMPARE(desktop_.opened, QStringList({"https://vidmill.example/"}));
        QVERIFY(desktop_.messages.isEmpty());
        desktop_.urlOpens = false;
        homePage->trigger();
        QCOMPARE(desktop_.messages.size(), 1);
        QVERIFY(desktop_.messages[0].contains("https://vidmill.example/"));
    }

    void updateCheckAtStartUpOnlyWhenConfiguredAndDue() {
        open();
        QVERIFY(desktop_.requests.isEmpty());  // no address: no check

        versionUrl_ = "http://versions.example/vidmill.txt";
        homePage_ = "https://vidmill.example/download";
        desktop_.reply = {true, "version 999.1\r\n"};
        reopen();
        QCOMPARE(desktop_.requests, QStringList({QString::fromStdString(versionUrl_)}));
        // The notice stands while the server is asked, and goes before the
        // question, which it would otherwise hide.
        QCOMPARE(desktop_.requestsUnderPleaseWait, 1);
        QCOMPARE(desktop_.messages.size(), 1);
        QVERIFY(desktop_.messages[0].contains("999.1"));
        QCOMPARE(desktop_.messagesOverPleaseWait, 0);
        QCOMPARE(desktop_.opened, QStringList({"https://vidmill.example/download"}));
        QVERIFY(currentPleaseWait() == nullptr);
        QCOMPARE(inspect(window_->engine()).settings().lastUpdateCheckDay, todayNumber());

        // Checked today: the next start asks nothing and shows no notice.
        reopen();
        QCOMPARE(desktop_.requests.size(), 1);

        // A failed check leaves the day, so the next start tries again.
        inspect(window_->engine()).settings().lastUpdateCheckDay = todayNumber() - 2;
        desktop_.reply = {};
        reopen();
        QCOMPARE(desktop_.requests.size(), 2);
        QCOMPARE(inspect(window_->engine()).settings().lastUpdateCheckDay, todayNumber() - 2);
        QVERIFY(currentPleaseWait() == nullptr);
    }

    void updateCheckOverHttp_data() {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<bool>("received");
        QTest::addColumn<int>("bodySize");
        QTest::addColumn<bool>("dayRecorded");
        QTest::newRow("version") << httpAnswer("200 OK", "0.0.1\n") << true << 6 << true;
        QTest::newRow("not found") << httpAnswer("404 Not Found", "1.0") << false << 0 << false;
        QTest::newRow("60 bytes") << httpAnswer("200 OK", QByteArray(60, '1')) << true << 60
                                  << false;
        QTest::newRow("kept to 1000 bytes")
            << httpAnswer("200 OK", QByteArray(5000, 'x')) << true << 1000 << false;
        QTest::newRow("never answers") << QByteArray() << false << 0 << false;
        QTest::newRow("nobody there") << QByteArray("stop") << false << 0 << false;
    }

    void updateCheckOverHttp() {
        QFETCH(QByteArray, answer);
        QFETCH(bool, received);
        QFETCH(int, bodySize);
        QFETCH(bool, dayRecorded);
        OneAnswerServer server(answer == "stop" ? QByteArray() : answer);
        if (answer == "stop") {
            server.stop();
        }
        constexpr int kLimitMs = 600;
        QElapsedTimer clock;
        clock.start();
        const HttpReply reply = httpGet(server.url(), kUpdateReceiveCapacity, kLimitMs);
        QCOMPARE(reply.ok, received);
        QCOMPARE(int(reply.body.size()), bodySize);

        int asked = 0;
        UpdateCheckIo io;
        io.get = [&](const std::string& url, std::size_t capacity) {
            return httpGet(QString::fromStdString(url), capacity, kLimitMs);
        };
        io.ask = [&](const std::string&) { return ++asked, false; };
        io.openUrl = [](const std::string&) {};
        std::int32_t lastDay = 1000;
        runUpdateCheck({server.url().toStdString(), "0.0.1", "http://x.example/"}, lastDay,
                       kUpdateCheckIntervalDays, 2000, io);
        QCOMPARE(lastDay, dayRecorded ? 2000 : 1000);
        QCOMPARE(asked, 0);
        // Both requests within their limits, a silent server included.
        QVERIFY2(clock.elapsed() < 2 * kLimitMs + 1000,
                 qPrintable(QString::number(clock.elapsed())));
    }
};

QObject* makeMainWindowHelpTest() {
    return new MainWindowHelpTest;
}

}  // namespace vidmill

#include "main_window_help_test.moc"
