// The card window on the offscreen platform, with the real phone behind it:
// a temporary data folder, a wallet made by the Tessera stand-in and bound as
// Kestrel binds at start-up, and the store's own lists. Service requests go
// to a closed local port, so nothing leaves the machine.
#include "ui/card_window.h"
#include "ui/phone_face.h"

#include "audio/codec.h"
#include "audio/playback.h"
#include "audio_test_util.h"
#include "phone/app_messages.h"
#include "phone/phone_store.h"
#include "platform/clock.h"
#include "platform/config.h"
#include "platform/events.h"
#include "platform/wav_file.h"
#include "platform/worker.h"
#include "services/paymail_resolution.h"
#include "services/tessera_link.h"
#include "https_test_server.h"
#include "phone/web_requests.h"
#include "temp_folder.h"
#include "test_support.h"

#include <QAbstractButton>
#include <QBuffer>
#include <QLineEdit>
#include <QListWidget>
#include <QScreen>
#include <QtTest/QtTest>

#include <cstdlib>
#include <memory>
#include <thread>

using namespace kestrel;

namespace {

std::string status()
{
    return phoneSnapshot().statusText;
}

QStringList firstLines(const ui::CardWindow& card)
{
    QStringList lines;
    for (const ui::CardRow& r : card.rows()) lines << r.first;
    return lines;
}

void setOwnHandle(const std::string& handle)
{
    platform::LockGuard lock(stateMutex());
    phoneState().ownHandle = handle;
}

CallRecord call(const std::string& from, const std::string& to, int secs, bool missed, bool hide,
                const std::string& txid)
{
    CallRecord c;
    c.from = from;
    c.to = to;
    c.secs = secs;
    c.sats = secs * 5;
    c.ts = 1800000000 + secs;
    c.missed = missed;
    c.hide = hide;
    c.txid = txid;
    return c;
}

SavedMessage saved(int n, const std::string& from, size_t bytes)
{
    SavedMessage m;
    m.n = n;
    m.from = from;
    m.id = "id-" + from;
    m.audio = std::string(bytes, '\x01');
    return m;
}

} // namespace

class CardsTest : public QObject {
    Q_OBJECT
    std::unique_ptr<TempDataFolder> temp;
    std::unique_ptr<ui::PhoneFace> face;
    QStringList opened;

    ui::CardWindow* open(int kind)
    {
        ui::CardWindow* card = face->openCard(kind);
        card->openAddress = [this](const QString& a) { opened << a; };
        return card;
    }

    // The card's messages reach it as the shell delivers them: through the face.
    void deliverLikeTheShell()
    {
        platform::installEventSink([this](const platform::Event& e) {
            if (e.kind != platform::EventKind::Message || e.target != platform::EventTarget::CardWindow) return true;
            if (!face || !face->cardOpen()) return false;
            ui::postPhoneMessage(face.get(), e.message, e.param);
            return true;
        });
    }

    // Presses the history filter buttons until all calls are listed again.
    static void historyToAll(ui::CardWindow* card)
    {
        if (ui::CardWindow::historyFilter() == 1) card->command(2020);
        if (ui::CardWindow::historyFilter() == 2) card->command(2021);
        if (ui::CardWindow::historyFilter() == 3) card->command(2023);
    }

private slots:
    void initTestCase()
    {
        temp = std::make_unique<TempDataFolder>();
        // The start-up entry is written under the temporary folder too.
        ::setenv("XDG_CONFIG_HOME", (temp->root + "/config").c_str(), 1);
        platform::Config config = platform::config();
        // Every product host answers from a port where nothing listens.
        for (const char* host : {"corvane.app", "www.corvane.app", "api.whatsonchain.com", "arc.gorillapool.io"})
            config.connect_to.push_back(std::string(host) + ":443:127.0.0.1:9");
        platform::setConfig(config);
        const CommandRun made = runTessera("create --name ava --paymail ava", temp->root);
        QVERIFY2(made.status == 0 && made.out.is_object(), made.text.c_str());
        registerApp(temp->root + "/instance", "Kestrel");
        QVERIFY(isTesseraConnected());
        loadSettings();
        switchOwner("ava");
        setOwnHandle("ava");
    }

    void init()
    {
        face = std::make_unique<ui::PhoneFace>();
        opened.clear();
    }

    void cleanup()
    {
        face.reset();
        platform::installEventSink({});
        QVERIFY(platform::waitForTasks(20000));
    }

    void cleanupTestCase()
    {
        QVERIFY(platform::waitForTasks(20000));
        temp.reset();
    }

    void faceButtonsOpenTheirCards_data()
    {
        QTest::addColumn<int>("button");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QSize>("size");
        QTest::newRow("Contacts") << 1004 << "Contacts" << QSize(460, 460);
        QTest::newRow("Answer-phone") << 1005 << "Answer-phone" << QSize(460, 460);
        QTest::newRow("Settings") << 1007 << "Settings" << QSize(280, 406);
    }

    void faceButtonsOpenTheirCards()
    {
        QFETCH(int, button);
        QFETCH(QString, title);
        QFETCH(QSize, size);
        face->show();
        face->button(button)->click();
        QVERIFY(face->card());
        QCOMPARE(face->card()->windowTitle(), title);
        QCOMPARE(face->card()->size(), size);
        // Another kind reuses the same window.
        ui::CardWindow* first = face->card();
        face->button(button == 1004 ? 1007 : 1004)->click();
        QCOMPARE(face->card(), first);
    }

    void placementPerKind()
    {
        ui::CardWindow* card = open(ui::ContactsCard);
        card->move(100, 120);
        open(ui::SettingsCard);
        card->move(300, 60);
        card->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!face->card());
        QVERIFY(!face->cardOpen());
        QCOMPARE(cardPlacement(ui::ContactsCard).x, 100);
        QCOMPARE(cardPlacement(ui::ContactsCard).y, 120);
        QCOMPARE(cardPlacement(ui::SettingsCard).x, 300);
        QCOMPARE(cardPlacement(ui::SettingsCard).y, 60);
        card = open(ui::ContactsCard);
        QCOMPARE(card->pos(), QPoint(100, 120));
        // A place off the screen comes back inside the work area.
        storeCardPlacement(ui::FeeListCard, 50000, -4000);
        card->openCard(ui::FeeListCard);
        const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
        QVERIFY(area.contains(card->frameGeometry().topLeft()));
        QCOMPARE(card->pos().y(), area.top());
    }

    void feeButton_data()
    {
        QTest::addColumn<int>("from");
        QTest::addColumn<int>("to");
        QTest::newRow("100 wraps to 1") << 100 << 1;
        QTest::newRow("7 to 10") << 7 << 10;
        QTest::newRow("1 to 5") << 1 << 5;
        QTest::newRow("50 to 100") << 50 << 100;
    }

    void feeButton()
    {
        QFETCH(int, from);
        QFETCH(int, to);
        QVERIFY(setPhoneFee(from));
        ui::CardWindow* card = open(ui::FeesCard);
        QCOMPARE(card->button(2029)->text(), QStringLiteral("Connection fee %1 sat/s").arg(from));
        card->command(2029);
        QCOMPARE(phoneSettings().phoneFee, to);
        QCOMPARE(card->button(2029)->text(), QStringLiteral("Connection fee %1 sat/s").arg(to));
    }

    void settingsButtons_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("button");
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("after");
        QTest::newRow("notifications") << 10 << 2014 << "Notifications all"
                                       << "Notifications sound";
        QTest::newRow("amounts") << 10 << 2015 << "Display sats"
                                 << "Display BSV";
        QTest::newRow("start-up") << 10 << 2016 << "Add to Startup"
                                  << "Remove from Startup";
        QTest::newRow("volume wraps") << 8 << 2025 << "Volume 200%"
                                      << "Volume 50%";
        QTest::newRow("answer-phone") << 2 << 2006 << "Answer-phone off"
                                      << "Answer-phone on";
    }

    void settingsButtons()
    {
        QFETCH(int, kind);
        QFETCH(int, button);
        QFETCH(QString, before);
        QFETCH(QString, after);
        setNotifyMode(0);
        QVERIFY(setVolume(200));
        setAmountInBsv(false);
        setAnswerphone(false);
        if (startupRegistered()) toggleStartup("/opt/kestrel/kestrel");
        {
            platform::LockGuard lock(stateMutex());
            phoneState().balance = 1234;
        }
        ui::CardWindow* card = open(kind);
        QCOMPARE(card->button(button)->text(), before);
        card->command(button);
        QCOMPARE(card->button(button)->text(), after);
        // Each change is kept by the store as well as shown.
        const PhoneSettings s = phoneSettings();
        if (button == 2014) QCOMPARE(s.notify, 1);
        if (button == 2015) {
            QVERIFY(s.bsv);
            QCOMPARE(QString::fromStdString(phoneSnapshot().balanceLine), QStringLiteral("ava   0.00001234 bsv"));
        }
        if (button == 2016) QVERIFY(startupRegistered());
        if (button == 2025) QCOMPARE(s.volume, 50);
        if (button == 2006) {
            QVERIFY(s.answerphone);
            QCOMPARE(QString::fromStdString(status()),
                     QStringLiteral("Calls will divert to your answer-phone after three rings."));
        }
        // The lamp of the face and the card's switch stay in step.
        if (button == 2006) {
            face->button(1016)->click();
            QVERIFY(platform::waitForTasks(20000));
            face->phoneStatus();
            QCOMPARE(card->button(2006)->text(), QStringLiteral("Answer-phone off"));
        }
        if (button == 2015) setAmountInBsv(false);
    }

    void versionAreaOpensTheSite_data()
    {
        QTest::addColumn<bool>("update");
        QTest::addColumn<QString>("address");
        QTest::newRow("no update") << false << "https://corvane.com";
        QTest::newRow("update available") << true << "https://corvane.com/cphone/";
    }

    void versionAreaOpensTheSite()
    {
        QFETCH(bool, update);
        QFETCH(QString, address);
        face->downloadAddress = QStringLiteral("https://corvane.com/cphone/");
        face->updateAvailable = update;
        ui::CardWindow* card = open(ui::SettingsCard);
        const QRect area = card->versionArea();
        QCOMPARE(area.height(), update ? 62 : 36);
        QTest::mouseClick(card, Qt::LeftButton, {}, area.center());
        QCOMPARE(opened, QStringList {address});
        // Outside the area nothing opens.
        QTest::mouseClick(card, Qt::LeftButton, {}, QPoint(2, area.center().y()));
        QCOMPARE(opened.size(), 1);
    }

    void contactsAndBlocked_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QStringList>("listed");
        const QStringList start {"bram"};
        QTest::newRow("add with an at sign") << 1 << "@bram"
                                             << "Already in contacts." << start;
        QTest::newRow("add as a paymail, other case") << 1 << "BRAM@corvane.app"
                                                      << "Already in contacts." << start;
        QTest::newRow("add nothing") << 1 << " \t "
                                     << "Type a handle to add." << start;
        QTest::newRow("add a new one") << 1 << "  cleo\t"
                                       << "Added cleo." << QStringList {"bram", "cleo"};
        QTest::newRow("block oneself") << 7 << "ava"
                                       << "That's you." << QStringList {"eve"};
        QTest::newRow("block oneself as a paymail") << 7 << "@Ava@corvane.app"
                                                    << "That's you." << QStringList {"eve"};
        QTest::newRow("block nothing") << 7 << ""
                                       << "Type a handle to block." << QStringList {"eve"};
        QTest::newRow("block one already blocked") << 7 << "EVE"
                                                   << "Already blocked." << QStringList {"eve"};
        QTest::newRow("block another") << 7 << "Mallory"
                                       << "Blocked mallory." << QStringList {"eve", "mallory"};
    }

    void contactsAndBlocked()
    {
        QFETCH(int, kind);
        QFETCH(QString, typed);
        QFETCH(QString, answer);
        QFETCH(QStringList, listed);
        std::string error;
        for (const ContactRow& c : contactList(error)) removeWalletContact(c.dest);
        QCOMPARE(QString::fromStdString(saveWalletContact("bram", "")), QStringLiteral("success"));
        for (const std::string& h : blockedHandles()) unblockHandle(h);
        QCOMPARE(QString::fromStdString(blockHandle("eve")), QStringLiteral("Blocked eve."));
        ui::CardWindow* card = open(kind);
        QVERIFY(card->handleField()->isVisibleTo(card));
        QCOMPARE(card->handleField()->placeholderText(), QStringLiteral("handle"));
        card->handleField()->setText(typed);
        // Enter presses Add on Contacts and Block on Blocked.
        QTest::keyClick(card->handleField(), Qt::Key_Return);
        QCOMPARE(QString::fromStdString(status()), answer);
        QStringList lines = firstLines(*card);
        for (QString& line : lines) line = line.section('@', 0, 0);
        QCOMPARE(lines, listed);
        const bool done = answer.startsWith("Added") || answer.startsWith("Blocked");
        QCOMPARE(card->handleField()->text().isEmpty(), done || typed.isEmpty());
    }

    void pickFirstRefusals_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("button");
        QTest::addColumn<QString>("answer");
        QTest::newRow("remove") << 1 << 2028 << "Pick a contact first.";
        QTest::newRow("unblock") << 7 << 2032 << "Pick a handle first.";
        QTest::newRow("hide") << 5 << 2024 << "Select a call first.";
        QTest::newRow("open a call") << 5 << 2001 << "That call has no transaction.";
    }

    void pickFirstRefusals()
    {
        QFETCH(int, kind);
        QFETCH(int, button);
        QFETCH(QString, answer);
        showStatus("before");
        ui::CardWindow* card = open(kind);
        card->command(button);
        QCOMPARE(QString::fromStdString(status()), answer);
        QVERIFY(opened.isEmpty());
    }

    void historyFilters_data()
    {
        QTest::addColumn<QList<int>>("presses");
        QTest::addColumn<QStringList>("listed");
        QTest::addColumn<QString>("lastSecond");
        const QStringList all {"bram   to   ava", "Missed call from cleo", "ava   to   bram"};
        QTest::newRow("all") << QList<int> {} << all << "";
        QTest::newRow("calls to") << QList<int> {2020} << QStringList {"ava   to   bram"} << "";
        QTest::newRow("calls to twice") << QList<int> {2020, 2020} << all << "";
        QTest::newRow("calls from") << QList<int> {2021} << QStringList {"bram   to   ava", "Missed call from cleo"}
                                    << "";
        QTest::newRow("calls to, then from")
            << QList<int> {2020, 2021} << QStringList {"bram   to   ava", "Missed call from cleo"} << "";
        QTest::newRow("show all") << QList<int> {2023}
                                  << QStringList {"bram   to   ava", "Missed call to dax", "Missed call from cleo",
                                                  "ava   to   bram"}
                                  << "Hidden calls are listed.";
        QTest::newRow("show all twice") << QList<int> {2023, 2023} << all << "";
    }

    void historyFilters()
    {
        QFETCH(QList<int>, presses);
        QFETCH(QStringList, listed);
        QFETCH(QString, lastSecond);
        {
            platform::LockGuard lock(storeMutex());
            phoneStore().calls = {call("ava", "bram", 30, false, false, std::string(64, 'a')),
                                  call("cleo", "ava", 0, true, false, ""), call("ava", "dax", 0, true, true, ""),
                                  call("bram", "ava", 61, false, false, std::string(63, 'b'))};
        }
        showStatus("");
        ui::CardWindow* card = open(ui::HistoryCard);
        historyToAll(card);
        for (const int id : presses) card->command(id);
        QCOMPARE(firstLines(*card), listed);
        if (!lastSecond.isEmpty()) QCOMPARE(QString::fromStdString(status()), lastSecond);
        for (const ui::CardRow& r : card->rows())
            QCOMPARE(r.second.endsWith(QStringLiteral("    hidden")), r.first == QStringLiteral("Missed call to dax"));
        historyToAll(card);
    }

    void callRowsOpenTheirTransaction()
    {
        {
            platform::LockGuard lock(storeMutex());
            phoneStore().calls = {call("ava", "bram", 30, false, false, std::string(64, 'a')),
                                  call("bram", "ava", 61, false, false, std::string(63, 'b'))};
        }
        ui::CardWindow* card = open(ui::HistoryCard);
        historyToAll(card);
        QCOMPARE(card->rows().size(), size_t(2));
        card->selectRow(0); // the 63-character txid
        card->command(2001);
        QCOMPARE(QString::fromStdString(status()), QStringLiteral("That call has no transaction."));
        QVERIFY(opened.isEmpty());
        card->selectRow(1);
        card->command(2001);
        QCOMPARE(opened, QStringList {"https://whatsonchain.com/tx/" + QString(64, 'a')});
        // Hiding the selected call: it leaves the list and the record keeps the flag.
        card->command(2024);
        QCOMPARE(QString::fromStdString(status()), QStringLiteral("Call hidden. Show all lists it."));
        QCOMPARE(firstLines(*card), QStringList {"bram   to   ava"});
        QVERIFY(callHistory().back().hidden);
        card->command(2023);
        card->selectRow(1);
        card->command(2024);
        QCOMPARE(QString::fromStdString(status()), QStringLiteral("Call shown."));
        QVERIFY(!callHistory().back().hidden);
        historyToAll(card);
    }

    void savedListHidesTheOwnHandlesMessages()
    {
        {
            platform::LockGuard lock(storeMutex());
            phoneStore().saved = {saved(1, "Ava", 1625 * 3), saved(2, "bram", 1625 * 75), saved(3, "", 10)};
        }
        ui::CardWindow* card = open(ui::SavedCard);
        QCOMPARE(firstLines(*card), (QStringList {"from bram", "from someone"}));
        QCOMPARE(card->rows()[0].number, 1);
        QCOMPARE(card->rows()[0].second, QStringLiteral("1:15"));
        QCOMPARE(card->rows()[1].number, 2);
        QCOMPARE(card->rows()[1].second, QStringLiteral("0:01"));
        platform::LockGuard lock(storeMutex());
        QCOMPARE(phoneStore().saved[0].n, 3); // the own handle's message is numbered after the others
    }

    void playbackCaptionsFollowTheMessage()
    {
        QVERIFY(openCodec());
        const std::string path = temp->root + "/speaker.wav";
        const platform::Config before = platform::config();
        platform::Config config = before;
        config.audio_output = "file:" + path;
        platform::setConfig(config);
        setChosenOutput("");
        closeOutputs();
        platform::setMockTime(1'800'000'000'000);
        deliverLikeTheShell();
        setPlaybackHooks({[] { postToCardWindow(WM_PHONE_PLAYBACK_DONE); }, {}});
        {
            platform::LockGuard lock(storeMutex());
            InboxMessage m;
            m.id = "m1";
            m.from = "bram";
            m.audio = encodePcm(audiotest::sinePcm(16000, 440, 9000)); // 2 s
            m.secs = 2;
            phoneStore().inbox = {m};
        }
        ui::CardWindow* card = open(ui::AnswerPhoneCard);
        auto captions = [card] {
            return QStringList {card->button(2005)->text(), card->button(2022)->text(), card->button(2019)->text()};
        };
        QCOMPARE(captions(), (QStringList {"Play", "Pause", "Stop"}));
        card->command(2005); // nothing selected
        QCOMPARE(QString::fromStdString(status()), QStringLiteral("That row has no message."));
        QCOMPARE(captions(), (QStringList {"Play", "Pause", "Stop"}));
        card->selectRow(0);
        card->command(2005);
        QCOMPARE(captions(), (QStringList {"Playing", "Pause", "Stop"}));
        card->command(2022);
        QCOMPARE(captions(), (QStringList {"Playing", "Resume", "Stop"}));
        card->command(2022);
        QCOMPARE(captions(), (QStringList {"Playing", "Pause", "Stop"}));
        // The render thread's steps, in moved time, until the message ends.
        // (The file speaker drains its buffer on its own thread.)
        for (int step = 0; step < 100000 && messagePlaying(); ++step) {
            renderStep();
            platform::advanceMockTime(20);
            std::this_thread::yield();
        }
        QVERIFY(!messagePlaying());
        QCoreApplication::sendPostedEvents(face.get());
        QCOMPARE(captions(), (QStringList {"Play", "Pause", "Stop"}));
        // Stop ends a message that plays.
        card->command(2005);
        QCOMPARE(captions()[0], QStringLiteral("Playing"));
        card->command(2019);
        QVERIFY(!messagePlaying());
        QCOMPARE(captions(), (QStringList {"Play", "Pause", "Stop"}));
        closeOutputs();
        setPlaybackHooks({});
        platform::setMockTime(0);
        platform::setConfig(before);

        // The file speaker holds the played message.
        platform::WavInfo info;
        std::string error;
        QVERIFY2(platform::readWavFile(path, info, error), error.c_str());
        const std::vector<int16_t> samples = audiotest::samplesOf(info.data);
        double loud = 0;
        for (const int16_t s : samples) loud += std::abs(s);
        QVERIFY(samples.size() >= 16000);
        QVERIFY2(loud / 16000 > 3000, QByteArray::number(loud / 16000).constData());
    }

    void picturesInPersonRows()
    {
        // A service host with three profiles: a 1 MiB picture, a 3 MiB one and
        // one named by a plain http address.
        auto bmp = [](int w, int h) {
            QByteArray body;
            QBuffer buffer(&body);
            buffer.open(QIODevice::WriteOnly);
            QImage image(w, h, QImage::Format_ARGB32);
            image.fill(QColor(10, 200, 30));
            image.save(&buffer, "BMP");
            return body.toStdString();
        };
        const std::map<std::string, std::string> bodies = {{"okpic", bmp(592, 592)}, {"bigpic", bmp(1024, 1024)}};
        QVERIFY(bodies.at("okpic").size() > 1000000 && bodies.at("okpic").size() < 2097152);
        QVERIFY(bodies.at("bigpic").size() > 3000000);
        HttpsTestServer server;
        std::atomic<int> profiles {0};
        server.http.Get(R"(/api/bsvalias/public-profile/(\w+)@corvane.app)", [&profiles](const httplib::Request& req,
                                                                                         httplib::Response& res) {
            ++profiles;
            const std::string key = req.matches[1].str();
            const std::string scheme = key == "plainpic" ? "http" : "https";
            res.set_content(R"({"avatar":")" + scheme + "://other.test/img/" + key + R"(.bmp"})", "application/json");
        });
        server.http.Get(R"(/img/(\w+)\.bmp)", [&bodies](const httplib::Request& req, httplib::Response& res) {
            const auto found = bodies.find(req.matches[1].str());
            res.set_content(found != bodies.end() ? found->second : bodies.at("okpic"), "image/bmp");
        });
        server.start();
        const platform::Config before = platform::config();
        server.useServer();
        closeServiceConnection();
        deliverLikeTheShell();
        for (const std::string& h : blockedHandles()) unblockHandle(h);
        for (const char* h : {"okpic", "bigpic", "plainpic"}) QVERIFY(blockHandle(h).starts_with("Blocked"));
        ui::CardWindow* card = open(ui::BlockedCard);
        card->resize(card->size());
        QVERIFY(platform::waitForTasks(30000));
        QCoreApplication::sendPostedEvents(face.get());
        // A rebuild asks again: nothing more is fetched.
        card->openCard(ui::BlockedCard);
        QVERIFY(platform::waitForTasks(30000));
        QCOMPARE(profiles.load(), 3);
        QVERIFY(!card->avatar("okpic").isNull());
        QVERIFY(card->avatar("bigpic").isNull());
        QVERIFY(card->avatar("plainpic").isNull());
        // Painted: the picture fills the first row's circle; the others show the letter circle.
        const QImage shot = card->grab().toImage();
        auto centre = [&](int row) {
            const QRect r = card->list()->visualItemRect(card->list()->item(row));
            return shot.pixelColor(card->list()->mapTo(card, QPoint(r.left() + 6 + 10 + 20, r.center().y())));
        };
        QCOMPARE(centre(0), QColor(10, 200, 30));
        QCOMPARE(centre(1), ui::themePalette(phoneSettings().theme)[17]);
        QCOMPARE(centre(2), ui::themePalette(phoneSettings().theme)[17]);
        closeServiceConnection();
        platform::setConfig(before);
        for (const std::string& h : blockedHandles()) unblockHandle(h);
    }
};

QTEST_MAIN(CardsTest)
#include "test_cards.moc"
