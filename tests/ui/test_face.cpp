// The phone face: geometry at 96 DPI, the screen states, the ringing
// notification and formatAmount. Runs on the offscreen platform.
#include "ui/phone_face.h"

#include <QAbstractButton>
#include <QFontDatabase>
#include <QFontInfo>
#include <QLineEdit>
#include <QtTest/QtTest>

using kestrel::PhoneCallState;
using ui::FaceState;

class FaceTest : public QObject {
    Q_OBJECT
    FaceState state_;
    FaceState current() const { return state_; }

private slots:
    void aRealFontIsFound()
    {
        QVERIFY(!QFontDatabase::families().isEmpty());
        QFont f(QStringLiteral("Segoe UI"));
        f.setStyleHint(QFont::SansSerif);
        QVERIFY(!QFontInfo(f).family().isEmpty());
        QVERIFY(QFontMetrics(f).horizontalAdvance(QStringLiteral("Ready")) > 10);
    }

    void geometryAt96Dpi()
    {
        ui::PhoneFace face;
        face.setStateSource([this] { return current(); });
        QCOMPARE(face.size(), QSize(460, 508));
        const struct {
            int id;
            QRect rect;
        } table[] = {
            {1001, {266, 12, 176, 32}}, {1007, {266, 50, 176, 32}}, {1014, {266, 88, 176, 32}},
            {1004, {83, 180, 72, 72}},  {1005, {304, 180, 72, 72}}, {1016, {384, 201, 30, 30}},
            {1002, {73, 384, 92, 92}},  {1003, {294, 384, 92, 92}}, {1015, {202, 402, 56, 56}},
        };
        for (const auto& row : table) QCOMPARE(face.button(row.id)->geometry(), row.rect);
        QCOMPARE(face.handleField()->geometry(), QRect(18, 328, 424, 40));
        QCOMPARE(face.handleField()->placeholderText(), QStringLiteral("name"));
        const ui::FaceGeometry g = ui::faceGeometry();
        QCOMPARE(g.b0, 164);
        QCOMPARE(g.b3, 328);
        QCOMPARE(g.b4, 384);
        QCOMPARE(g.height, 508);
    }

    void screenStates_data()
    {
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("peer");
        QTest::addColumn<qint64>("start");
        QTest::addColumn<bool>("playing");
        QTest::addColumn<QString>("second");
        QTest::addColumn<QString>("display");
        QTest::addColumn<QColor>("colour");
        const QColor text(0xF4, 0xEC, 0xDC), status(0xD6, 0xE6, 0xF2);
        const qint64 now = 1000000;
        QTest::newRow("idle") << 0 << ""
                              << "" << qint64(0) << false << "Ready"
                              << "status line" << status;
        QTest::newRow("calling") << 1 << "Calling  bob"
                                 << "bob" << qint64(0) << false << "Calling  bob"
                                 << "status line" << status;
        QTest::newRow("ringing") << 2 << "Incoming  bob"
                                 << "bob" << qint64(0) << false << "Ready"
                                 << "bob is calling" << QColor(Qt::white);
        QTest::newRow("ringing, no peer") << 2 << ""
                                          << "" << qint64(0) << false << "Ready"
                                          << "Incoming call" << QColor(Qt::white);
        QTest::newRow("connected") << 3 << "Calling  bob"
                                   << "bob" << now - 7 << false << "Calling  bob"
                                   << "0:07" << text;
        QTest::newRow("connected long") << 3 << "Incoming  bob"
                                        << "bob" << now - 750 << false << "Incoming  bob"
                                        << "12:30" << text;
        QTest::newRow("leaving message") << 4 << "Calling  bob"
                                         << "bob" << now - 12 << false << "Calling  bob"
                                         << "0:12  /  1:00" << text;
        QTest::newRow("recording greeting") << 5 << ""
                                            << "" << now - 3 << false << "Ready"
                                            << "0:03  /  0:20" << text;
        QTest::newRow("start in the future") << 3 << "Calling  bob"
                                             << "bob" << now + 5 << false << "Calling  bob"
                                             << "0:00" << text;
        QTest::newRow("message playing") << 0 << ""
                                         << "" << qint64(0) << true << "Ready"
                                         << "0:09" << text;
    }

    void screenStates()
    {
        QFETCH(int, state);
        QFETCH(QString, title);
        QFETCH(QString, peer);
        QFETCH(qint64, start);
        QFETCH(bool, playing);
        QFETCH(QString, second);
        QFETCH(QString, display);
        QFETCH(QColor, colour);
        FaceState s;
        s.phone.state = static_cast<PhoneCallState>(state);
        s.phone.title = title.toStdString();
        s.phone.peerHandle = peer.toStdString();
        s.phone.startTime = start;
        s.phone.statusText = "status line";
        s.playing = playing;
        s.playbackStart = 1000000 - 9;
        QCOMPARE(ui::secondLine(s).text, second);
        const ui::FaceLine line = ui::displayLine(s, 1000000, 2200);
        QCOMPARE(line.text, display);
        QCOMPARE(line.colour, colour);
    }

    void ringingBlinksAmber()
    {
        FaceState s;
        s.phone.state = PhoneCallState::Ringing;
        QCOMPARE(ui::displayLine(s, 0, 1100).colour, QColor(0xFF, 0xD6, 0x60));
        QCOMPARE(ui::displayLine(s, 0, 2200).colour, QColor(Qt::white));
    }

    void pausedPlaybackIsFrozen()
    {
        FaceState s;
        s.playing = true;
        s.paused = true;
        s.playbackStart = 100;
        s.pauseStart = 130;
        QCOMPARE(ui::displayLine(s, 500, 0).text, QStringLiteral("0:30"));
    }

    void callCaptionFollowsRinging()
    {
        ui::PhoneFace face;
        state_ = {};
        face.setStateSource([this] { return current(); });
        QCOMPARE(face.button(1002)->text(), QStringLiteral("Call"));
        state_.phone.state = PhoneCallState::Ringing;
        face.phoneStatus();
        QCOMPARE(face.button(1002)->text(), QStringLiteral("Answer"));
        state_.phone.state = PhoneCallState::Connected;
        face.phoneStatus();
        QCOMPARE(face.button(1002)->text(), QStringLiteral("Call"));
    }

    void longHandleIsElided()
    {
        ui::PhoneFace face;
        state_ = {};
        state_.phone.state = PhoneCallState::Ringing;
        state_.phone.peerHandle = std::string(120, 'w');
        face.setStateSource([this] { return current(); });
        face.setClock(1000, 2200);
        const QImage shot = face.grab().toImage();
        // The display band ends before the right margin: nothing wrapped below it.
        const QImage band = shot.copy(12, 122, 436, 36);
        bool white = false;
        for (int x = 400; x < 436 && !white; ++x)
            for (int y = 0; y < 36; ++y)
                if (band.pixelColor(x, y) == QColor(Qt::white)) white = true;
        QVERIFY(white); // text reaches the end of the line (the ellipsis)
        QFont f(QStringLiteral("Segoe UI"));
        f.setPixelSize(20);
        f.setBold(true);
        const QString elided =
            QFontMetrics(f).elidedText(ui::displayLine(state_, 1000, 2200).text, Qt::ElideRight, 436);
        QVERIFY(elided.endsWith(QChar(0x2026)));
        // Nothing of the line spills below its band (no second line of text).
        for (int x = 12; x < 448; ++x) QVERIFY(shot.pixelColor(x, 162) != QColor(Qt::white));
    }

    void notificationModes_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("shakes");
        QTest::newRow("all") << 0 << true;
        QTest::newRow("sound") << 1 << false;
        QTest::newRow("vibrate") << 2 << true;
        QTest::newRow("off") << 3 << false;
    }

    void notificationModes()
    {
        QFETCH(int, mode);
        QFETCH(bool, shakes);
        ui::PhoneFace face;
        state_ = {};
        state_.phone.state = PhoneCallState::Ringing;
        state_.settings.notify = mode;
        face.setStateSource([this] { return current(); });
        face.show();
        const QRect laid = face.button(1002)->geometry();
        face.phoneRing();
        QVERIFY(face.ringTimerActive());
        for (int i = 0; i < 4; ++i) face.ringTick();
        QCOMPARE(face.callDisplaced(), shakes);
        QCOMPARE(face.button(1002)->geometry() != laid, shakes);
        QCOMPARE(face.alerts(), 0);
        // The display still blinks in every mode.
        QVERIFY(ui::displayLine(state_, 0, 0).colour != ui::displayLine(state_, 0, 1100).colour);
        state_.phone.state = PhoneCallState::Idle;
        face.ringTick();
        QVERIFY(!face.ringTimerActive());
        QCOMPARE(face.button(1002)->geometry(), laid);
    }

    void shakeScale()
    {
        ui::PhoneFace face;
        state_ = {};
        state_.phone.state = PhoneCallState::Ringing;
        face.setStateSource([this] { return current(); });
        face.show();
        for (int i = 0; i < 8; ++i) face.ringTick(); // phase 8: 1 + 0.16 * 7/7
        QCOMPARE(face.button(1002)->width(), 107);
        QCOMPARE(face.button(1002)->geometry().center(), QRect(73, 384, 92, 92).center());
    }

    void minimisedRingingAlertsOnce_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("alerts");
        QTest::newRow("all") << 0 << 1;
        QTest::newRow("off") << 3 << 0;
    }

    void minimisedRingingAlertsOnce()
    {
        QFETCH(int, mode);
        QFETCH(int, alerts);
        ui::PhoneFace face;
        state_ = {};
        state_.phone.state = PhoneCallState::Ringing;
        state_.settings.notify = mode;
        face.setStateSource([this] { return current(); });
        face.show();
        face.showMinimized();
        for (int i = 0; i < 5; ++i) face.ringTick();
        QCOMPARE(face.alerts(), alerts);
        QVERIFY(!face.callDisplaced());
    }

    void formatAmountCases_data()
    {
        QTest::addColumn<qint64>("satoshis");
        QTest::addColumn<bool>("bsv");
        QTest::addColumn<QString>("text");
        QTest::newRow("sats") << qint64(1234) << false << "1234 sats";
        QTest::newRow("zero sats") << qint64(0) << false << "0 sats";
        QTest::newRow("one and a half") << qint64(150000000) << true << "1.5 bsv";
        QTest::newRow("one") << qint64(100000000) << true << "1 bsv";
        QTest::newRow("small") << qint64(1234) << true << "0.00001234 bsv";
        QTest::newRow("negative") << qint64(-250000000) << true << "-2.5 bsv";
        QTest::newRow("zero bsv") << qint64(0) << true << "0 bsv";
    }

    void formatAmountCases()
    {
        QFETCH(qint64, satoshis);
        QFETCH(bool, bsv);
        QFETCH(QString, text);
        QCOMPARE(QString::fromStdString(kestrel::formatAmount(satoshis, bsv)), text);
    }

    void updateAnswerPrompts_data()
    {
        QTest::addColumn<qint64>("param");
        QTest::addColumn<bool>("asked");
        QTest::newRow("0.004 published") << qint64(5) << true;
        QTest::newRow("0.003 published") << qint64(4) << false;
        QTest::newRow("check failed") << qint64(0) << false;
    }

    void updateAnswerPrompts()
    {
        QFETCH(qint64, param);
        QFETCH(bool, asked);
        ui::PhoneFace face;
        face.setStateSource([this] { return current(); });
        face.downloadAddress = QStringLiteral("https://corvane.com/cphone/");
        QStringList questions;
        face.askUpdate = [&questions](const QString& q) {
            questions << q;
            return false;
        };
        face.phoneUpdate(param);
        QCOMPARE(questions.size(), asked ? 1 : 0);
        QCOMPARE(face.updateAvailable, asked);
        if (asked)
            QCOMPARE(questions[0], QStringLiteral("A newer Kestrel is available.\n\nThis build:  0.003\nLatest:      "
                                                  "0.004\n\nOpen https://corvane.com/cphone/ to download it?"));
    }

    void themesHaveTheirColours()
    {
        QCOMPARE(ui::themePalette(0)[0], QColor::fromRgba(0xFF0A101E));
        QCOMPARE(ui::themePalette(4)[20], QColor(0xB8, 0x8C, 0x24));
        QCOMPARE(ui::themePalette(9)[17], QColor(0x24, 0x5C, 0xAA)); // unknown themes are Blue
        QCOMPARE(ui::themePalette(2)[4], QColor::fromRgba(0x2AECD296));
    }
};

QTEST_MAIN(FaceTest)
#include "test_face.moc"
