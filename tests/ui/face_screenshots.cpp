// face_screenshots OUTDIR: renders the phone face offscreen in each screen
// state and each theme into OUTDIR/face-<state>-<theme>@<scale>.png. The
// scale comes from QT_SCALE_FACTOR (scripts/screenshots runs it at 1 and 1.5).
// The card window is rendered too, every kind with rows, into
// OUTDIR/card-<kind>[-<variant>]@<scale>.png.
// face_screenshots --logo DIR: writes the logo and icon artwork into DIR.
#include "ui/card_window.h"
#include "ui/logo.h"
#include "ui/phone_face.h"

#include <QApplication>
#include <QDir>
#include <QListWidget>
#include <QPainter>
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

// A picture for a person row: a soft two-colour portrait-like disc.
QImage portrait(QColor sky, QColor face)
{
    QImage image(120, 120, QImage::Format_ARGB32_Premultiplied);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 0, 0, 120);
    g.setColorAt(0, sky.lighter(130));
    g.setColorAt(1, sky.darker(140));
    p.fillRect(image.rect(), g);
    p.setPen(Qt::NoPen);
    p.setBrush(face);
    p.drawEllipse(QPointF(60, 48), 24, 26);
    p.drawEllipse(QPointF(60, 128), 46, 44);
    return image;
}

ui::CardData cardData(int kind)
{
    const int64_t now = 1800000000;
    ui::CardData d;
    d.phone.connected = true;
    d.phone.handle = "ava";
    d.settings.phoneFee = 5;
    d.settings.volume = 150;
    d.settings.notify = 2;
    d.outputCaption = QStringLiteral("Output: Speakers");
    switch (kind) {
    case ui::ContactsCard:
        d.contacts = {{"bram@corvane.app", "Brother, evenings only"},
                      {"cleo@corvane.app", "Studio"},
                      {"dax", ""},
                      {"1BoatSLRHtKNngkdXEeobR76b53LETtpyT", "paid in coin"}};
        break;
    case ui::AnswerPhoneCard:
        d.inbox = {{1, 9750, "m1", "bram", 12, now - 3600, ""},
                   {2, 3250, "m2", "cleo", 4, now - 86400 * 2, ""},
                   {3, 0, "0123abcd", "", 0, now - 86400 * 9, ""}};
        break;
    case ui::SavedCard:
        d.saved = {{1, 9750, "s1", "bram", 6, 0, std::string(64, 'a')},
                   {2, 1625 * 75, "s2", "cleo", 75, 0, ""},
                   {3, 100, "s3", "", 0, 0, ""},
                   {4, 3250, "s4", "ava", 2, 0, ""}}; // the own handle's: not listed
        break;
    case ui::HistoryCard:
        d.owner = "ava";
        d.calls = {{5, "ava", "bram", 134, 670, now - 600, false, false, std::string(64, 'b')},
                   {4, "cleo", "ava", 0, 0, now - 7200, true, false, ""},
                   {3, "ava", "dax", 0, 0, now - 86400, true, false, ""},
                   {2, "bram", "ava", 61, 0, now - 86400 * 3, false, true, ""},
                   {1, "ava", "cleo", 9, 45, now - 86400 * 5, false, false, ""}};
        break;
    case ui::BlockedCard:
        d.blocked = {"spammer", "bram", "x"};
        break;
    default:
        break;
    }
    return d;
}

QImage cardAvatar(const std::string& key)
{
    if (key == "bram") return portrait(QColor(0x3A, 0x7B, 0xC8), QColor(0xF2, 0xC9, 0xA0));
    if (key == "cleo") return portrait(QColor(0xB0, 0x48, 0x6C), QColor(0xE8, 0xB8, 0x90));
    return {};
}

struct CardShot {
    const char* name;
    int kind;
    int select; // row to select, -1 none
    bool update;
    int filterPresses; // Show all presses (history)
};

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
    const CardShot cards[] = {
        {"contacts", ui::ContactsCard, 0, false, 0},
        {"answer-phone", ui::AnswerPhoneCard, 1, false, 0},
        {"saved-messages", ui::SavedCard, 0, false, 0},
        {"settings", ui::SettingsCard, -1, false, 0},
        {"settings-update", ui::SettingsCard, -1, true, 0},
        {"call-history", ui::HistoryCard, 0, false, 0},
        {"call-history-show-all", ui::HistoryCard, -1, false, 1},
        {"fee-list", ui::FeeListCard, -1, false, 0},
        {"blocked", ui::BlockedCard, -1, false, 0},
        {"sounds", ui::SoundsCard, -1, false, 0},
        {"fees", ui::FeesCard, -1, false, 0},
        {"options", ui::OptionsCard, -1, false, 0},
        {"themes", ui::ThemesCard, -1, false, 0},
    };
    for (const CardShot& shot : cards) {
        ui::CardWindow card(nullptr);
        card.setDataSource(cardData);
        card.setAvatarSource(cardAvatar);
        card.updateAvailable = shot.update;
        card.downloadAddress = QStringLiteral("https://corvane.com/cphone/");
        card.openCard(shot.kind);
        for (int i = 0; i < shot.filterPresses; ++i) card.command(2023);
        if (shot.select >= 0) card.selectRow(shot.select);
        const QString file = QStringLiteral("%1/card-%2@%3.png").arg(out, shot.name, scale);
        if (!card.grab().save(file)) return 1;
        for (int i = 0; i < shot.filterPresses; ++i) card.command(2023); // back to all calls
        ++written;
    }
    // The Rose theme on a list card and a menu card, to see the card palettes move.
    for (const int kind : {ui::AnswerPhoneCard, ui::ThemesCard}) {
        ui::CardWindow card(nullptr);
        card.setDataSource([](int k) {
            ui::CardData d = cardData(k);
            d.settings.theme = 1;
            return d;
        });
        card.setAvatarSource(cardAvatar);
        card.openCard(kind);
        const QString file = QStringLiteral("%1/card-%2-rose@%3.png")
                                 .arg(out, kind == ui::ThemesCard ? "themes" : "answer-phone", scale);
        if (!card.grab().save(file)) return 1;
        ++written;
    }
    std::printf("%d screenshots in %s\n", written, argv[1]);
    return 0;
}
