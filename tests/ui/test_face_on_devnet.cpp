// The face driving the real phone against the devnet: the phone connects to
// its Tessera wallet, Disconnect and Connect follow, and the Call button
// answers a call that rings here (a kestrel-cli phone calls) but does
// nothing while a call is connected.
#include "cli_phone.h"
#include "devnet_client.h"
#include "spend_fixture.h"
#include "temp_folder.h"

#include "app/startup.h"
#include "calls/phone_actions.h"
#include "platform/events.h"
#include "ui/phone_face.h"

#include <QAbstractButton>
#include <QLineEdit>
#include <QtTest/QtTest>

#include <mutex>

using json = nlohmann::json;
using kestrel::PhoneCallState;

namespace {

constexpr int kConnect = 1001, kCall = 1002, kHangUp = 1003;

std::mutex faceMutex;
ui::PhoneFace* liveFace = nullptr;

// As the shell does: the core's status lines and messages become posted
// events of the face.
bool deliver(const platform::Event& e)
{
    std::lock_guard lock(faceMutex);
    if (!liveFace) return false;
    if (e.kind == platform::EventKind::Status) ui::postPhoneMessage(liveFace, 0x8028, 0);
    if (e.kind == platform::EventKind::Message && e.target == platform::EventTarget::MainWindow)
        ui::postPhoneMessage(liveFace, e.message, e.param);
    return true;
}

PhoneCallState callState()
{
    return kestrel::phoneSnapshot().state;
}

} // namespace

class FaceOnDevnet : public QObject {
    Q_OBJECT
    TempDataFolder folder; // the phone's data folder (LOCALAPPDATA)
    TempDataFolder callerFolder;
    Devnet devnet;
    PhoneWallet wallet, caller;
    std::unique_ptr<ui::PhoneFace> face;

    bool prepare(const std::string& root, const std::string& stem, PhoneWallet& made)
    {
        json config = devnet.info["config"];
        config["audio_input"] = "null";
        config["audio_output"] = "null";
        platform::makeFolders(root + "/Corvane");
        if (!platform::replaceFileAtomically(root + "/Corvane/kestrel-config.json", config.dump())) return false;
        made = makePhoneWallet(devnet, stem, root);
        return !made.receive.empty() && !devnet.fund(made.receive, std::vector<int64_t>(20, 2000)).empty();
    }

    QString caption(int id) const { return face->button(id)->text(); }

private slots:
    void initTestCase()
    {
        QVERIFY2(devnet.load(), "the devnet fixture did not run");
        QVERIFY(prepare(callerFolder.root, "caller", caller));
        ::setenv("LOCALAPPDATA", folder.root.c_str(), 1);
        QVERIFY(prepare(folder.root, "face", wallet));
        devnet.mine();

        face = std::make_unique<ui::PhoneFace>();
        {
            std::lock_guard lock(faceMutex);
            liveFace = face.get();
        }
        kestrel::StartupOptions options;
        options.instance = folder.root;
        options.beforeWorkers = [] { platform::installEventSink(deliver); };
        QCOMPARE(kestrel::startPhone(options), kestrel::StartResult::Started);
        face->show();
    }

    void theWalletConnectsAndTheButtonsFollow()
    {
        // A single wallet in Tessera is bound at start-up.
        QTRY_COMPARE_WITH_TIMEOUT(caption(kConnect), QStringLiteral("Disconnect"), 60000);
        QTRY_VERIFY_WITH_TIMEOUT(kestrel::phoneSnapshot().balanceLine.find(" sats") != std::string::npos, 60000);

        QTest::mouseClick(face->button(kConnect), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(caption(kConnect), QStringLiteral("Connect"), 30000);
        QCOMPARE(kestrel::phoneSnapshot().statusText, std::string("Tessera closed."));
        QVERIFY(kestrel::phoneSnapshot().balanceLine.empty());

        // Connecting again asks Tessera, which the user approves there.
        QTest::mouseClick(face->button(kConnect), Qt::LeftButton);
        for (int i = 0; i < 30 && caption(kConnect) != QStringLiteral("Disconnect"); ++i) {
            runTessera("approve", folder.root);
            QTest::qWait(1000);
        }
        QCOMPARE(caption(kConnect), QStringLiteral("Disconnect"));
        const kestrel::PhoneSnapshot now = kestrel::phoneSnapshot();
        QVERIFY2(now.balanceLine.starts_with(wallet.alias), now.balanceLine.c_str());
        QVERIFY2(now.balanceLine.ends_with(" sats"), now.balanceLine.c_str());
        QCOMPARE(now.statusText, std::string("Calls will divert to your answer-phone after ten rings."));
    }

    void callWhileRingingAnswersAndWhileConnectedDoesNothing()
    {
        CliPhone phone;
        QVERIFY(phone.start(callerFolder.root, callerFolder.root + "/stderr"));
        QVERIFY(phone.waitForEvent("ready").is_object());
        phone.send("connect");
        QVERIFY(phone.waitForEvent("connection", {{"connected", true}, {"handle", caller.alias}}, 60000).is_object());

        phone.send("call " + wallet.alias);
        QTRY_COMPARE_WITH_TIMEOUT(callState(), PhoneCallState::Ringing, 60000);
        QTRY_COMPARE(caption(kCall), QStringLiteral("Answer"));
        QTest::mouseClick(face->button(kCall), Qt::LeftButton);
        QVERIFY2(phone.waitForEvent("state", {{"state", "Connected"}}, 60000).is_object(), phone.transcript().c_str());
        QTRY_COMPARE_WITH_TIMEOUT(callState(), PhoneCallState::Connected, 30000);
        const std::string callId = kestrel::phoneSnapshot().callId;

        // Call while connected: no second call, the same one goes on.
        face->handleField()->setText(QString::fromStdString(caller.alias));
        QTest::mouseClick(face->button(kCall), Qt::LeftButton);
        QTest::qWait(1500);
        QCOMPARE(callState(), PhoneCallState::Connected);
        QCOMPARE(kestrel::phoneSnapshot().callId, callId);

        QTest::mouseClick(face->button(kHangUp), Qt::LeftButton);
        QVERIFY2(phone.waitForEvent("status", {{"text", "They hung up."}}, 60000).is_object(),
                 phone.transcript().c_str());
        QTRY_COMPARE_WITH_TIMEOUT(callState(), PhoneCallState::Idle, 30000);
        phone.send("quit");
        QCOMPARE(phone.wait(), 0);
    }

    void cleanupTestCase()
    {
        kestrel::stopPhone();
        platform::installEventSink({});
        std::lock_guard lock(faceMutex);
        liveFace = nullptr;
        face.reset();
    }
};

QTEST_MAIN(FaceOnDevnet)
#include "test_face_on_devnet.moc"
