// face_screenshots OUTDIR: renders the phone face offscreen in each screen
// state and each theme into OUTDIR/face-<state>-<theme>@<scale>.png. The
// scale comes from QT_SCALE_FACTOR (scripts/screenshots runs it at 1 and 1.5).
// face_screenshots --logo DIR: writes the logo and icon artwork into DIR.
#include "ui/logo.h"
#include "ui/phone_face.h"

#include <QApplication>
#include <QDir>
#include <QPixmap>

#include <cstdio>
#include <vector>

namespace {

using kestrel::PhoneCallState;

struct Shot {
    const char* name;
    ui::FaceState state;
};

std::vector<Shot> shots()
{
    const int64_t now = 1800000000;
    ui::FaceState base;
    base.phone.statusText = "Connect Tessera, then type a handle.";
    std::vector<Shot> list;
    list.push_back({"not-connected", base});

    ui::FaceState idle = base;
    idle.phone.connected = true;
    idle.phone.handle = "ava";
    idle.phone.balanceLine = "ava@corvane.io   48210 sats";
    idle.phone.statusText = "Calls will divert to your answer-phone after ten rings.";
    list.push_back({"connected-idle", idle});

    ui::FaceState calling = idle;
    calling.phone.state = PhoneCallState::Calling;
    calling.phone.peerHandle = "bram";
    calling.phone.title = "Calling  bram";
    calling.phone.statusText = "Ringing  3";
    list.push_back({"calling", calling});

    ui::FaceState ringing = idle;
    ringing.phone.state = PhoneCallState::Ringing;
    ringing.phone.peerHandle = "bram";
    ringing.phone.title = "Incoming  bram";
    list.push_back({"ringing", ringing});

    ui::FaceState connected = calling;
    connected.phone.state = PhoneCallState::Connected;
    connected.phone.startTime = now - 127;
    connected.phone.statusText = "Connected.";
    list.push_back({"connected-call", connected});

    ui::FaceState leaving = calling;
    leaving.phone.state = PhoneCallState::LeavingMessage;
    leaving.phone.startTime = now - 14;
    leaving.settings.answerphone = true;
    list.push_back({"leaving-message", leaving});

    ui::FaceState greeting = idle;
    greeting.phone.state = PhoneCallState::RecordingGreeting;
    greeting.phone.startTime = now - 6;
    list.push_back({"recording-greeting", greeting});

    ui::FaceState waiting = idle;
    waiting.newMessage = true;
    waiting.muted = true;
    waiting.settings.answerphone = true;
    waiting.phone.statusText = "New message from bram.";
    list.push_back({"new-message", waiting});
    return list;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: face_screenshots OUTDIR\n");
        return 2;
    }
    if (argc == 3 && QString::fromLatin1(argv[1]) == QLatin1String("--logo")) {
        // The shipped artwork: the 512 x 512 logo and the 64 x 64 icon.
        const QString dir = QString::fromLocal8Bit(argv[2]);
        return ui::kestrelLogo(512).save(dir + "/logo.png") && ui::kestrelLogo(64).save(dir + "/icon.png") ? 0 : 1;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(out);
    const QString scale =
        qEnvironmentVariableIsSet("QT_SCALE_FACTOR") ? qEnvironmentVariable("QT_SCALE_FACTOR") : QStringLiteral("1");
    const char* themes[] = {"blue", "rose", "gold", "green", "black-gold"};
    int written = 0;
    for (int theme = 0; theme < 5; ++theme) {
        for (Shot shot : shots()) {
            shot.state.settings.theme = theme;
            ui::PhoneFace face;
            face.setStateSource([s = shot.state] { return s; });
            if (shot.state.phone.connected) face.phoneConnection(true);
            face.setClock(1800000000, 2200); // an even blink phase: white ringing text, flashing button lit
            if (shot.state.phone.state == PhoneCallState::Ringing) {
                face.show();
                for (int i = 0; i < 6; ++i) face.ringTick(); // the Call button mid-shake
            }
            const QString file = QStringLiteral("%1/face-%2-%3@%4.png").arg(out, shot.name, themes[theme], scale);
            if (!face.grab().save(file)) return 1;
            ++written;
        }
    }
    std::printf("%d screenshots in %s\n", written, argv[1]);
    return 0;
}
