// kestrel: the windowed phone. Runs the shared start-up, shows the phone
// face, turns the core's events into posted Qt events for it, raises itself
// when a second copy starts on the same data folder, and shuts down through
// the shared order when the face closes.
#include "app/startup.h"
#include "app/update_check.h"
#include "calls/phone_actions.h"
#include "phone/app_messages.h"
#include "platform/app_launch.h"
#include "platform/clock.h"
#include "platform/data_folder.h"
#include "platform/events.h"
#include "platform/worker.h"
#include "ui/logo.h"
#include "ui/phone_face.h"
#include "platform/sync.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QIcon>
#include <QPixmap>
#include <QSocketNotifier>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <future>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

// The face the event sink posts to; null while there is none, so posts are
// dropped (and answer false) before it exists and after it is gone.
platform::Mutex faceMutex;
ui::PhoneFace* liveFace GUARDED_BY(faceMutex) = nullptr;

void setLiveFace(ui::PhoneFace* face)
{
    platform::LockGuard lock(faceMutex);
    liveFace = face;
}

// A sentence for the status line once the phone is first connected and
// settled (--hint): what a run that started the phone wants the user to do.
std::string hint;
std::atomic<bool> hintShown {false};

void showHintLater()
{
    if (hint.empty() || hintShown.exchange(true)) return;
    platform::runTask([] {
        // The connection's own status lines come first.
        if (!platform::sleepForMillis(2000, platform::shutdownToken())) return;
        if (kestrel::phoneSnapshot().state == kestrel::PhoneCallState::Idle) kestrel::showStatus(hint);
    });
}

bool deliver(const platform::Event& e)
{
    if (e.kind != platform::EventKind::Status && e.kind != platform::EventKind::Message) return true;
    if (e.kind == platform::EventKind::Message && e.message == kestrel::WM_PHONE_CONNECTION && e.param == 1)
        showHintLater();
    platform::LockGuard lock(faceMutex);
    if (!liveFace) return false;
    // The card's messages go through the face that owns it; none while no card is open.
    if (e.kind == platform::EventKind::Message && e.target == platform::EventTarget::CardWindow &&
        !liveFace->cardOpen())
        return false;
    if (e.kind == platform::EventKind::Status)
        ui::postPhoneMessage(liveFace, 0x8028, 0);
    else
        ui::postPhoneMessage(liveFace, e.message, e.param);
    return true;
}

// SIGINT and SIGTERM end the phone through the normal shutdown: the handler
// only writes a byte that the event loop reads.
int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(signalPipe[1], &byte, 1);
}

// The price question of a call, asked on the interface's thread while the
// call's task waits. No, when the face is gone or the phone is shutting down.
bool askOnFace(QPointer<ui::PhoneFace> face, const std::string& text)
{
    auto answer = std::make_shared<std::promise<bool>>();
    std::future<bool> answered = answer->get_future();
    QMetaObject::invokeMethod(
        qApp,
        [face, answer, text] {
            answer->set_value(
                face && QMessageBox::question(face, QStringLiteral("Kestrel"), QString::fromStdString(text),
                                              QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes);
        },
        Qt::QueuedConnection);
    const std::stop_token stop = platform::shutdownToken();
    while (answered.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready)
        if (stop.stop_requested()) return false;
    return answered.get();
}

std::string executablePath()
{
    char buffer[4096];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

} // namespace

int main(int argc, char** argv)
{
    kestrel::StartupOptions options;
    options.instance = platform::executableFolder();
    options.executablePath = executablePath();
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--instance" && i + 1 < argc) options.instance = argv[++i];
        if (arg == "--hint" && i + 1 < argc) hint = argv[++i];
    }
    options.beforeWorkers = [] { platform::installEventSink(deliver); };

    QApplication app(argc, argv);
    if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return 1;
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    QApplication::setApplicationName(QStringLiteral("Kestrel"));
    switch (kestrel::startPhone(options)) {
    case kestrel::StartResult::AnotherInstance:
        return 0;
    case kestrel::StartResult::Failed:
        return 1;
    case kestrel::StartResult::Started:
        break;
    }

    int status = 0;
    {
        ui::PhoneFace face;
        face.setWindowIcon(QIcon(QPixmap::fromImage(ui::kestrelLogo(64))));
        setLiveFace(&face);
        kestrel::installQuestionHook(
            [guarded = QPointer<ui::PhoneFace>(&face)](const std::string& text) { return askOnFace(guarded, text); });

        // A second start on this data folder asks this one to come forward.
        QSocketNotifier raise(static_cast<qintptr>(kestrel::announceSocket()), QSocketNotifier::Read);
        QObject::connect(&raise, &QSocketNotifier::activated, &face, [&face] {
            if (platform::takeRaiseRequests(kestrel::announceSocket()) <= 0) return;
            if (face.isMinimized()) face.showNormal();
            face.show();
            face.raise();
            face.activateWindow();
            std::fprintf(stderr, "kestrel: raised by a second start\n");
        });
        face.downloadAddress = QString::fromStdString(kestrel::downloadPageAddress());
        face.thisBuild = kestrel::kThisBuild;
        QSocketNotifier quit(static_cast<qintptr>(signalPipe[0]), QSocketNotifier::Read);
        QObject::connect(&quit, &QSocketNotifier::activated, &face, [] { QApplication::quit(); });
        face.show();
        face.phoneStatus();
        // Once per run; the answer is dropped when the face is gone by then.
        kestrel::startUpdateCheck([](long answer) {
            platform::LockGuard lock(faceMutex);
            if (liveFace) ui::postPhoneMessage(liveFace, 0x802E, answer);
        });
        std::fprintf(stderr, "kestrel: ready\n");
        status = QApplication::exec();
        kestrel::installQuestionHook({});
        setLiveFace(nullptr);
    }
    kestrel::stopPhone();
    platform::installEventSink({});
    return status;
}
