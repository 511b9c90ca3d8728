#include "ui/phone_face.h"

#include "ui/card_window.h"
#include "ui/logo.h"

#include "platform/clock.h"
#include "platform/worker.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QUrl>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QTimerEvent>
#include <QWindow>

#include <algorithm>
#include <cmath>

namespace ui {

namespace {

enum Id {
    Connect = 1001,
    Call = 1002,
    HangUp = 1003,
    Contacts = 1004,
    AnswerPhone = 1005,
    Settings = 1007,
    Close = 1014,
    Mute = 1015,
    Lamp = 1016,
};
// Order of buttons_ (the creation order of the face).
constexpr std::array<int, 9> kIds = {Connect, Call, HangUp, Mute, Contacts, AnswerPhone, Lamp, Settings, Close};

// Application messages, by value (the core's WM_PHONE_* numbers).
constexpr uint32_t kStatus = 0x8028, kConnection = 0x802B, kRing = 0x802D, kUpdate = 0x802E;
constexpr uint32_t kCardRefresh = 0x8029, kPlaybackDone = 0x802A, kAvatar = 0x802C;
const QEvent::Type kPhoneEvent = static_cast<QEvent::Type>(QEvent::User + 40);

struct PhoneEvent : QEvent {
    PhoneEvent(uint32_t m, intptr_t p) : QEvent(kPhoneEvent), message(m), param(p) {}
    uint32_t message;
    intptr_t param;
};

const QColor kText(0xF4, 0xEC, 0xDC);

QColor argb(uint32_t v)
{
    return QColor::fromRgba(v);
}
QColor rgb(uint32_t v)
{
    return QColor::fromRgb(v);
}

QFont faceFont(const char* family, int pixels, bool bold)
{
    QFont f(QString::fromLatin1(family));
    // Families that are not installed fall back to the system's sans-serif or serif.
    f.setStyleHint(QString::fromLatin1(family) == "Georgia" ? QFont::Serif : QFont::SansSerif);
    f.setPixelSize(pixels);
    f.setBold(bold);
    return f;
}

QString elapsedText(int64_t seconds)
{
    seconds = std::max<int64_t>(seconds, 0);
    return QString::asprintf("%lld:%02lld", static_cast<long long>(seconds / 60), static_cast<long long>(seconds % 60));
}

// Elapsed seconds shown by the display line, or -1 when it shows none.
int64_t shownElapsed(const FaceState& s, int64_t now)
{
    using S = kestrel::PhoneCallState;
    const S st = s.phone.state;
    if (st == S::Ringing) return -1;
    if ((st == S::Connected || st == S::LeavingMessage || st == S::RecordingGreeting) && s.phone.startTime >= 1)
        return std::max<int64_t>(now - s.phone.startTime, 0);
    if (s.playing && s.playbackStart >= 1)
        return std::max<int64_t>((s.paused ? s.pauseStart : now) - s.playbackStart, 0);
    return -1;
}

} // namespace

FaceGeometry faceGeometry()
{
    FaceGeometry g;
    const int W = 460;
    g.b0 = 164;
    g.b1 = 16 + g.b0;
    g.b2 = 72;
    g.b3 = g.b2 + g.b1 + 76;
    g.b4 = g.b3 + 16 + 40;
    g.b5 = 92;
    g.width = W;
    g.height = g.b4 + g.b5 + 32;
    const int m = 18, col = (W - 3 * m) / 2;
    const int x = W - 176 - m;
    g.connect = QRect(x, 12, 176, 32);
    g.settings = QRect(x, 12 + 6 + 32, 176, 32);
    g.close = QRect(x, g.settings.y() + 6 + 32, 176, 32);
    g.contacts = QRect(m + (col - g.b2) / 2, g.b1, g.b2, g.b2);
    g.answerphone = QRect(2 * m + col + (col - g.b2) / 2, g.b1, g.b2, g.b2);
    int lampX = g.answerphone.x() + g.b2 + 8;
    if (lampX + 30 > W - 14) lampX = W - 14 - 30;
    g.lamp = QRect(lampX, g.b1 + (g.b2 - 30) / 2, 30, 30);
    g.handle = QRect(m, g.b3, W - 2 * m, 40);
    g.call = QRect(m + (col - g.b5) / 2, g.b4, g.b5, g.b5);
    g.hangUp = QRect(2 * m + col + (col - g.b5) / 2, g.b4, g.b5, g.b5);
    g.mute = QRect((W - 56) / 2, g.b4 + (g.b5 - 56) / 2, 56, 56);
    return g;
}

const std::array<QColor, 21>& themePalette(int theme)
{
    static const std::array<std::array<QColor, 21>, 5> palettes = {{
        {argb(0xFF0A101E), argb(0xFF1C3052), argb(0xFF0A2A60), argb(0xFF106CB0), argb(0x24BAD6EC), argb(0x5ABAD6EC),
         argb(0xFF0C1424), argb(0xFF182A48), argb(0xFF162844), argb(0x784682A0), argb(0xDC78D2E6), argb(0xFFBAF4E8),
         argb(0xFFD6E6F2), rgb(0x101A2C),    rgb(0x121C2E),    rgb(0x0E182A),    rgb(0x1C304E),    rgb(0x245CAA),
         rgb(0x12306E),    rgb(0x0C3A80),    rgb(0x2496BA)},
        {argb(0xFF1C0A12), argb(0xFF481C2C), argb(0xFF6E1234), argb(0xFFB0345C), argb(0x28ECBACC), argb(0x64ECBACC),
         argb(0xFF200C16), argb(0xFF401828), argb(0xFF3A1624), argb(0x8CB4506E), argb(0xE6ECAABE), argb(0xFFF4BACE),
         argb(0xFFDCAABA), rgb(0x200E16),    rgb(0x24101A),    rgb(0x24101A),    rgb(0x481C30),    rgb(0x963052),
         rgb(0x5C1830),    rgb(0x5C122A),    rgb(0xC45C7A)},
        {argb(0xFF161006), argb(0xFF402E0E), argb(0xFF60400A), argb(0xFFB08020), argb(0x2AECD296), argb(0x6EECD296),
         argb(0xFF1C1408), argb(0xFF38280C), argb(0xFF30220C), argb(0x8CB48C3C), argb(0xE6ECC878), argb(0xFFF4D696),
         argb(0xFFD2BA82), rgb(0x1A1208),    rgb(0x201608),    rgb(0x20180A),    rgb(0x402E0E),    rgb(0xA87820),
         rgb(0x60440E),    rgb(0x483008),    rgb(0xC9A230)},
        {argb(0xFF081610), argb(0xFF103824), argb(0xFF08482A), argb(0xFF168C52), argb(0x28AADCBA), argb(0x6EAADCBA),
         argb(0xFF081812), argb(0xFF103020), argb(0xFF0E2A1E), argb(0x8C50AA78), argb(0xE6A0E6BE), argb(0xFFB0ECC8),
         argb(0xFF96C8AA), rgb(0x081610),    rgb(0x0A1C14),    rgb(0x0A1A12),    rgb(0x143422),    rgb(0x1C7848),
         rgb(0x0C442A),    rgb(0x083A24),    rgb(0x40AA6E)},
        {argb(0xFF060606), argb(0xFF12100A), argb(0xFF080808), argb(0xFF8C6418), argb(0x24DCB446), argb(0x64DCB446),
         argb(0xFF080808), argb(0xFF141008), argb(0xFF0E0C08), argb(0x8CB48C28), argb(0xDCE6B446), argb(0xFFF4D282),
         argb(0xFFB4A478), rgb(0x080808),    rgb(0x0C0B08),    rgb(0x100E08),    rgb(0x241C0A),    rgb(0xA87C1C),
         rgb(0x5C400C),    rgb(0x080808),    rgb(0xB88C24)},
    }};
    return palettes[(theme >= 0 && theme < 5) ? theme : 0];
}

FaceLine secondLine(const FaceState& s)
{
    FaceLine line {QStringLiteral("Ready"), kText, 15, false};
    if (s.phone.state != kestrel::PhoneCallState::Ringing && !s.phone.title.empty())
        line.text = QString::fromStdString(s.phone.title);
    return line;
}

FaceLine displayLine(const FaceState& s, int64_t now, int64_t tick)
{
    using S = kestrel::PhoneCallState;
    if (s.phone.state == S::Ringing) {
        const QString text = s.phone.peerHandle.empty()
                                 ? QStringLiteral("Incoming call")
                                 : QString::fromStdString(s.phone.peerHandle) + QStringLiteral(" is calling");
        return {text, (tick / 1100) % 2 == 0 ? QColor(Qt::white) : QColor(0xFF, 0xD6, 0x60), 20, true};
    }
    const int64_t elapsed = shownElapsed(s, now);
    if (elapsed >= 0) {
        QString text = elapsedText(elapsed);
        if (s.phone.state == S::LeavingMessage) text += QStringLiteral("  /  1:00");
        if (s.phone.state == S::RecordingGreeting) text += QStringLiteral("  /  0:20");
        return {text, kText, 22, true};
    }
    return {QString::fromStdString(s.phone.statusText), themePalette(s.settings.theme)[12], 15, false};
}

QString callCaption(const FaceState& s)
{
    return s.phone.state == kestrel::PhoneCallState::Ringing ? QStringLiteral("Answer") : QStringLiteral("Call");
}

// --- Buttons ------------------------------------------------------------------------------

class FaceButton : public QAbstractButton {
public:
    FaceButton(PhoneFace* face, int id, const QString& caption) : QAbstractButton(face), face_(face), id_(id)
    {
        setText(caption);
        setFocusPolicy(Qt::NoFocus);
        setAttribute(Qt::WA_OpaquePaintEvent);
    }
    int id() const { return id_; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    void paintCircle(QPainter& p, const FaceState& s);
    void paintRounded(QPainter& p, const FaceState& s);
    PhoneFace* face_;
    int id_;
};

namespace {

void drawHandset(QPainter& p, const QRectF& circle, bool down)
{
    const double d = circle.width();
    p.save();
    p.translate(circle.center().x(), circle.top() + d * 0.52);
    if (down)
        p.rotate(180);
    else
        p.rotate(-30);
    // A handset: a curved grip with an ear piece at each end.
    const double L = d * 0.44, w = d * 0.1;
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(Qt::white, w, Qt::SolidLine, Qt::RoundCap));
    QPainterPath grip;
    grip.moveTo(-L / 2, 0);
    grip.quadTo(0, -w * 0.9, L / 2, 0);
    p.drawPath(grip);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawRoundedRect(QRectF(-L / 2 - w * 0.75, -w * 0.3, w * 1.7, w * 1.6), w * 0.5, w * 0.5);
    p.drawRoundedRect(QRectF(L / 2 - w * 0.95, -w * 0.3, w * 1.7, w * 1.6), w * 0.5, w * 0.5);
    p.restore();
}

void drawMicrophone(QPainter& p, const QRectF& c, bool muted)
{
    const double d = c.width();
    QPen pen(QColor(0xF8, 0xF6, 0xF0), std::max(d * 0.055, 1.8), Qt::SolidLine, Qt::RoundCap);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    const QPointF o = c.center();
    p.drawRoundedRect(QRectF(o.x() - d * 0.09, o.y() - d * 0.26, d * 0.18, d * 0.32), d * 0.09, d * 0.09);
    p.drawArc(QRectF(o.x() - d * 0.17, o.y() - d * 0.16, d * 0.34, d * 0.32), 180 * 16, 180 * 16);
    p.drawLine(QPointF(o.x(), o.y() + d * 0.16), QPointF(o.x(), o.y() + d * 0.25));
    p.drawLine(QPointF(o.x() - d * 0.09, o.y() + d * 0.25), QPointF(o.x() + d * 0.09, o.y() + d * 0.25));
    if (muted) {
        p.setPen(QPen(QColor(0xFF, 0xF4, 0xEC), std::max(d * 0.065, 2.2), Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(o.x() - d * 0.25, o.y() - d * 0.25), QPointF(o.x() + d * 0.25, o.y() + d * 0.25));
    }
}

void drawContactsIcon(QPainter& p, const QRectF& r)
{
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xF6, 0xF2, 0xE6));
    const double d = r.width();
    const QPointF c = r.center();
    p.drawEllipse(QPointF(c.x(), c.y() - d * 0.12), d * 0.13, d * 0.13);
    QPainterPath body;
    body.moveTo(c.x() - d * 0.24, c.y() + d * 0.26);
    body.cubicTo(c.x() - d * 0.24, c.y() + d * 0.02, c.x() + d * 0.24, c.y() + d * 0.02, c.x() + d * 0.24,
                 c.y() + d * 0.26);
    body.closeSubpath();
    p.drawPath(body);
}

void drawTapeIcon(QPainter& p, const QRectF& r)
{
    const double d = r.width();
    const QPointF c = r.center();
    p.setPen(QPen(QColor(0xF6, 0xF2, 0xE6), std::max(d * 0.06, 1.8), Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QPointF(c.x() - d * 0.16, c.y()), d * 0.11, d * 0.11);
    p.drawEllipse(QPointF(c.x() + d * 0.16, c.y()), d * 0.11, d * 0.11);
    p.drawLine(QPointF(c.x() - d * 0.16, c.y() + d * 0.11), QPointF(c.x() + d * 0.16, c.y() + d * 0.11));
}

} // namespace

void FaceButton::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const FaceState s = face_->state();
    // Behind the button: the face itself, so the corners blend in.
    face_->paintBackground(p, rect(), pos());
    if (id_ == Call || id_ == HangUp || id_ == Mute || id_ == Lamp)
        paintCircle(p, s);
    else
        paintRounded(p, s);
}

void FaceButton::paintCircle(QPainter& p, const FaceState& s)
{
    const double d = std::min(width(), height()) - 2;
    const QRectF c((width() - d) / 2.0, (height() - d) / 2.0, d, d);
    QLinearGradient g(c.topLeft(), c.bottomLeft());
    const bool down = isDown();
    if (id_ == Call) {
        g.setColorAt(0, down ? QColor(0x5C, 0xB0, 0x56) : QColor(0xBA, 0xF2, 0x8A));
        g.setColorAt(0.48, QColor(0x3E, 0xBC, 0x4A));
        g.setColorAt(1, down ? QColor(0x0A, 0x56, 0x22) : QColor(0x0E, 0x76, 0x2E));
    } else if (id_ == HangUp) {
        g.setColorAt(0, down ? QColor(0xD6, 0x4E, 0x46) : QColor(0xFF, 0x9C, 0x84));
        g.setColorAt(0.48, QColor(0xD6, 0x34, 0x30));
        g.setColorAt(1, down ? QColor(0x6E, 0x10, 0x18) : QColor(0x8E, 0x12, 0x1C));
    } else if (id_ == Lamp) {
        const bool on = s.settings.answerphone;
        g.setColorAt(0, on ? QColor(0x96, 0xE6, 0x78) : QColor(0xFF, 0x82, 0x6E));
        g.setColorAt(1, on ? QColor(0x12, 0x82, 0x30) : QColor(0x96, 0x1C, 0x20));
    } else {
        g.setColorAt(0, s.muted ? QColor(0xD2, 0x60, 0x5A) : QColor(0xBA, 0xC6, 0xD6));
        g.setColorAt(1, s.muted ? QColor(0x78, 0x1C, 0x24) : QColor(0x46, 0x56, 0x6C));
    }
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawEllipse(c);
    if (id_ == Call || id_ == HangUp) drawHandset(p, c, id_ == HangUp);
    if (id_ == Lamp) {
        p.setBrush(QColor(255, 255, 255, 90));
        p.drawEllipse(QRectF(width() * 0.28, height() * 0.12, width() * 0.28, height() * 0.18));
    }
    if (id_ == Mute) drawMicrophone(p, c, s.muted);
}

void paintRoundedBody(QPainter& p, const QRect& area, QColor top, QColor bottom, bool down, bool enabled)
{
    if (down) std::swap(top, bottom);
    if (!enabled) top = QColor(0x2E, 0x34, 0x3E), bottom = QColor(0x46, 0x4E, 0x5A);
    const QRectF r = QRectF(area).adjusted(0.8, 0.8, -0.8, -0.8);
    QLinearGradient g(r.topLeft(), r.bottomLeft());
    g.setColorAt(0, top);
    g.setColorAt(1, bottom);
    p.setBrush(g);
    p.setPen(QPen(QColor(0, 0, 0, 140), 1.6));
    p.drawRoundedRect(r, 12, 12);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(255, 255, 255, 170), 1.2));
    p.drawRoundedRect(QRectF(area).adjusted(2, 2, -2, -2), 8, 8);
}

void FaceButton::paintRounded(QPainter& p, const FaceState& s)
{
    QColor top = themePalette(s.settings.theme)[17], bottom = themePalette(s.settings.theme)[18];
    if (id_ == Connect) {
        if (text() == QLatin1String("Disconnect"))
            top = QColor(0x96, 0x60, 0x30), bottom = QColor(0x5C, 0x34, 0x1C);
        else
            top = QColor(0x40, 0xB0, 0xBA), bottom = QColor(0x18, 0x5A, 0x78);
    } else if (id_ == Close) {
        top = QColor(0xC4, 0x40, 0x48), bottom = QColor(0x78, 0x1C, 0x28);
    } else if (id_ == AnswerPhone && s.newMessage &&
               (face_->tick_ ? face_->tick_ : platform::tickMillis()) / 1100 % 2 == 0) {
        top = QColor(0x28, 0x78, 0xD2), bottom = QColor(0x96, 0xDC, 0xFF);
    }
    paintRoundedBody(p, rect(), top, bottom, isDown(), isEnabled());
    if (id_ == Contacts) return drawContactsIcon(p, QRectF(rect()));
    if (id_ == AnswerPhone) return drawTapeIcon(p, QRectF(rect()));
    p.setFont(faceFont("Segoe UI", height() > 64 ? 18 : height() > 44 ? 16 : 13, true));
    p.setPen(QColor(0xF6, 0xF2, 0xE6));
    p.drawText(rect(), Qt::AlignCenter, text());
}

// --- The face --------------------------------------------------------------------------------

PhoneFace::PhoneFace(QWidget* parent) : QWidget(parent)
{
    setWindowTitle(QStringLiteral("Kestrel"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    const QStringList captions = {"Connect",           "Call",     "Hang up", "Mute", "Contacts", "Answer-phone",
                                  "Answer-phone lamp", "Settings", "Close"};
    for (size_t i = 0; i < kIds.size(); ++i) {
        auto* b = new FaceButton(this, kIds[i], captions[static_cast<int>(i)]);
        buttons_[i] = b;
        const int id = kIds[i];
        connect(b, &QAbstractButton::clicked, this, [this, id] { onButton(id); });
    }
    blinkTimer_ = startTimer(400);
    handle_ = new QLineEdit(this);
    handle_->setPlaceholderText(QStringLiteral("name"));
    handle_->setAlignment(Qt::AlignVCenter | Qt::AlignLeft);
    handle_->setFrame(false);
    handle_->setFont(faceFont("Segoe UI", 16, false));
    handle_->setTextMargins(10, 0, 8, 0);
    applyTheme(state().settings.theme);
    layoutControls();
    setFixedSize(faceGeometry().width, faceGeometry().height);
}

void PhoneFace::applyTheme(int theme)
{
    if (theme == theme_) return;
    theme_ = theme;
    const QColor back = themePalette(theme)[14];
    QPalette pal = handle_->palette();
    pal.setColor(QPalette::Base, back);
    pal.setColor(QPalette::Text, QColor(0xF4, 0xEB, 0xDC));
    pal.setColor(QPalette::PlaceholderText, QColor(0xF4, 0xEB, 0xDC, 120));
    handle_->setPalette(pal);
    handle_->setStyleSheet(
        QStringLiteral("QLineEdit { color: #F4EBDC; background: %1; border: none; border-radius: 6px; }")
            .arg(back.name()));
}

void PhoneFace::setStateSource(std::function<FaceState()> source)
{
    source_ = std::move(source);
    phoneStatus();
}

void PhoneFace::setClock(int64_t nowSeconds, int64_t tickMillis)
{
    now_ = nowSeconds;
    tick_ = tickMillis;
    update();
    for (QAbstractButton* b : buttons_)
        if (b) b->update();
}

FaceState PhoneFace::state() const
{
    if (source_) return source_();
    FaceState s;
    s.phone = kestrel::phoneSnapshot();
    s.settings = kestrel::phoneSettings();
    s.muted = kestrel::muted();
    return s;
}

QAbstractButton* PhoneFace::button(int id) const
{
    for (size_t i = 0; i < kIds.size(); ++i)
        if (kIds[i] == id) return buttons_[i];
    return nullptr;
}

void PhoneFace::layoutControls()
{
    const FaceGeometry g = faceGeometry();
    button(Connect)->setGeometry(g.connect);
    button(Settings)->setGeometry(g.settings);
    button(Close)->setGeometry(g.close);
    button(Contacts)->setGeometry(g.contacts);
    button(AnswerPhone)->setGeometry(g.answerphone);
    button(Lamp)->setGeometry(g.lamp);
    if (!displaced_) button(Call)->setGeometry(g.call);
    button(HangUp)->setGeometry(g.hangUp);
    button(Mute)->setGeometry(g.mute);
    handle_->setGeometry(g.handle);
}

void PhoneFace::paintBackground(QPainter& p, const QRect& area, const QPoint& offset) const
{
    const auto& pal = themePalette(theme_ < 0 ? 0 : theme_);
    const FaceGeometry g = faceGeometry();
    p.save();
    p.translate(-offset);
    const QRect target = area.translated(offset);
    QLinearGradient back(0, 0, 0, g.height);
    back.setColorAt(0, pal[0]);
    back.setColorAt(1, pal[1]);
    p.fillRect(target, back);
    QLinearGradient header(0, 0, 0, 158);
    header.setColorAt(0, pal[2]);
    header.setColorAt(1, pal[3]);
    p.fillRect(target.intersected(QRect(0, 0, g.width, 158)), header);
    p.setClipRect(target);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(pal[4]);
    p.setPen(QPen(pal[5], 1.2));
    p.drawRoundedRect(QRectF(10, g.b0, g.width - 20, g.height - 16 - g.b0), 22, 22);
    p.restore();
}

void PhoneFace::paintEvent(QPaintEvent*)
{
    const FaceState s = state();
    applyTheme(s.settings.theme);
    const auto& pal = themePalette(s.settings.theme);
    const FaceGeometry g = faceGeometry();
    const int W = g.width;
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    paintBackground(p, rect(), QPoint());

    if (logo_.isNull()) logo_ = QPixmap::fromImage(kestrelLogo(256));
    if (!logo_.isNull()) p.drawPixmap(QRect(16, 12, 46, 46), logo_);

    p.setPen(QColor(0xF4, 0xEC, 0xDC));
    p.setFont(faceFont("Georgia", 28, true));
    p.drawText(QRect(70, 18, 190, 40), Qt::AlignLeft | Qt::AlignTop, QStringLiteral("Kestrel"));

    const int lineWidth = W - 176 - 18 - 36;
    auto drawLine = [&p](const QRect& r, const FaceLine& line, const char* family) {
        const QFont f = faceFont(family, line.pixelSize, line.bold);
        p.setFont(f);
        p.setPen(line.colour);
        const QString text = QFontMetrics(f).elidedText(line.text, Qt::ElideRight, r.width());
        p.drawText(r, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, text);
    };
    drawLine(QRect(18, 64, lineWidth, 22), FaceLine {QString::fromStdString(s.phone.balanceLine), pal[11], 15, false},
             "Segoe UI");
    drawLine(QRect(18, 90, lineWidth, 22), secondLine(s), "Segoe UI");

    p.setPen(QColor(0xF4, 0xEC, 0xDC));
    p.setFont(faceFont("Segoe UI", 13, true));
    p.drawText(QRect(g.handle.x(), g.handle.y() - 22, g.handle.width(), 20), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("Type in a handle to call"));

    const int m = 18, col = (W - 3 * m) / 2;
    p.drawText(QRect(m, g.contacts.bottom() + 1 + 3, col, 18), Qt::AlignCenter, QStringLiteral("Contacts"));
    p.drawText(QRect(2 * m + col, g.answerphone.bottom() + 1 + 3, col, 18), Qt::AlignCenter,
               QStringLiteral("Answer-phone"));
    p.setPen(s.settings.answerphone ? QColor(0x78, 0xDC, 0x82) : QColor(0xE6, 0x60, 0x5A));
    p.drawText(QRect(2 * m + col, g.answerphone.bottom() + 1 + 3 + 16, col, 18), Qt::AlignCenter,
               s.settings.answerphone ? QStringLiteral("on") : QStringLiteral("off"));

    const int64_t now = now_ ? now_ : platform::unixSeconds();
    const int64_t tick = tick_ ? tick_ : platform::tickMillis();
    drawLine(QRect(12, 122, W - 24, 36), displayLine(s, now, tick), "Segoe UI");
}

void PhoneFace::timerEvent(QTimerEvent* e)
{
    if (e->timerId() == ringTimer_) return ringTick();
    if (e->timerId() != blinkTimer_) return QWidget::timerEvent(e);
    const FaceState s = state();
    const int64_t tick = tick_ ? tick_ : platform::tickMillis();
    const int phase = static_cast<int>((tick / 1100) % 2);
    const int64_t second = shownElapsed(s, now_ ? now_ : platform::unixSeconds());
    const bool ringing = s.phone.state == kestrel::PhoneCallState::Ringing;
    if ((ringing && phase != blinkPhase_) || (second >= 0 && second != lastSecond_)) update(0, 58, width(), 110);
    if (s.newMessage && phase != blinkPhase_) button(AnswerPhone)->update();
    blinkPhase_ = phase;
    lastSecond_ = second;
}

void PhoneFace::ringTick()
{
    const FaceState s = state();
    const FaceGeometry g = faceGeometry();
    QAbstractButton* call = button(Call);
    auto restore = [&] {
        if (displaced_) {
            displaced_ = false;
            layoutControls();
        }
    };
    if (s.phone.state != kestrel::PhoneCallState::Ringing) {
        if (ringTimer_) killTimer(ringTimer_);
        ringTimer_ = 0;
        flashing_ = false;
        return restore();
    }
    const int mode = s.settings.notify;
    const bool minimised = isMinimized() || (windowHandle() && windowHandle()->windowState() == Qt::WindowMinimized);
    if ((mode == 0 || mode == 2) && minimised) {
        if (!flashing_) {
            flashing_ = true;
            ++alerts_;
            QApplication::alert(this, 0);
        }
        return restore();
    }
    flashing_ = false;
    if (mode == 0 || mode == 2) {
        ringPhase_ = (ringPhase_ + 1) % 16;
        const double scale = 1 + 0.16 * (ringPhase_ < 8 ? ringPhase_ / 8.0 : (15 - ringPhase_) / 7.0);
        const int w = static_cast<int>(std::floor(g.call.width() * scale + 0.5));
        const int h = static_cast<int>(std::floor(g.call.height() * scale + 0.5));
        const QPoint c = g.call.center();
        call->setGeometry(c.x() - w / 2, c.y() - h / 2, w, h);
        displaced_ = true;
    } else {
        restore();
    }
}

void PhoneFace::phoneStatus()
{
    const FaceState s = state();
    const QString caption = callCaption(s);
    if (button(Call)->text() != caption) button(Call)->setText(caption);
    const QString connectCaption = s.phone.connected ? QStringLiteral("Disconnect") : QStringLiteral("Connect");
    if (button(Connect)->text() != connectCaption) button(Connect)->setText(connectCaption);
    applyTheme(s.settings.theme);
    update();
    for (QAbstractButton* b : buttons_) b->update();
    // The card's changing captions (the answer-phone switch, a greeting being recorded).
    if (card_) card_->refreshCaptions();
}

PhoneFace::~PhoneFace()
{
    // The card goes first, while the face it reports to is whole.
    delete card_.data();
}

CardWindow* PhoneFace::card() const
{
    return card_.data();
}

CardWindow* PhoneFace::openCard(int kind)
{
    if (kind < 1 || kind > 11) return card_.data();
    if (!card_) {
        card_ = new CardWindow(this);
        card_->setAttribute(Qt::WA_DeleteOnClose);
        card_->setWindowIcon(windowIcon());
        card_->downloadAddress = downloadAddress;
        card_->thisBuild = thisBuild;
        card_->useHandle = [this](const QString& handle) { handle_->setText(handle); };
        card_->faceChanged = [this] { phoneStatus(); };
        connect(card_, &QObject::destroyed, this, [this] { cardOpen_ = false; });
        if (prepareCard) prepareCard(card_);
        cardOpen_ = true;
    }
    card_->updateAvailable = updateAvailable;
    card_->openCard(kind);
    return card_.data();
}

void PhoneFace::phoneConnection(bool connected)
{
    button(Connect)->setText(connected ? QStringLiteral("Disconnect") : QStringLiteral("Connect"));
    if (!connected) handle_->clear();
    update();
    for (QAbstractButton* b : buttons_) b->update();
}

void PhoneFace::phoneRing()
{
    if (!ringTimer_) ringTimer_ = startTimer(80);
}

void PhoneFace::phoneUpdate(intptr_t param)
{
    const long latest = static_cast<long>(param) - 1;
    updateAvailable = latest > thisBuild;
    if (!updateAvailable) return;
    const QString question =
        QStringLiteral("A newer Kestrel is available.\n\nThis build:  %1\nLatest:      %2\n\nOpen %3 to download it?")
            .arg(QString::asprintf("%.3f", thisBuild / 1000.0), QString::asprintf("%.3f", latest / 1000.0),
                 downloadAddress);
    const bool yes =
        askUpdate ? askUpdate(question)
                  : QMessageBox::warning(this, QStringLiteral("Kestrel update"), question,
                                         QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
    if (yes) QDesktopServices::openUrl(QUrl(downloadAddress));
}

void postPhoneMessage(QObject* face, uint32_t message, intptr_t param)
{
    QCoreApplication::postEvent(face, new PhoneEvent(message, param));
}

bool PhoneFace::event(QEvent* e)
{
    if (e->type() == kPhoneEvent) {
        const auto* pe = static_cast<PhoneEvent*>(e);
        if (pe->message == kStatus) phoneStatus();
        if (pe->message == kConnection) phoneConnection(pe->param != 0);
        if (pe->message == kRing) phoneRing();
        if (pe->message == kUpdate) phoneUpdate(pe->param);
        // The card's messages come through the face, which owns the card.
        if (card_ && pe->message == kCardRefresh) card_->cardRefresh();
        if (card_ && pe->message == kPlaybackDone) card_->playbackDone();
        if (card_ && pe->message == kAvatar) card_->avatarArrived();
        return true;
    }
    if (e->type() == QEvent::WindowStateChange || e->type() == QEvent::WindowActivate) {
        // Coming back from the taskbar ends the alert and lets the shaking resume.
        if (!isMinimized()) flashing_ = false;
    }
    return QWidget::event(e);
}

void PhoneFace::closeEvent(QCloseEvent* e)
{
    e->accept();
    QApplication::quit();
}

void PhoneFace::onButton(int id)
{
    const FaceState s = state();
    switch (id) {
    case Connect:
        platform::runTask(s.phone.connected ? kestrel::disconnectAction : kestrel::connectAction);
        break;
    case Call:
        // Calling, Connected, LeavingMessage and RecordingGreeting ignore the button.
        if (s.phone.state == kestrel::PhoneCallState::Idle) {
            const std::string typed = handle_->text().toStdString();
            platform::runTask([typed] { kestrel::callAction(typed); });
        } else if (s.phone.state == kestrel::PhoneCallState::Ringing) {
            platform::runTask(kestrel::answerAction);
        }
        break;
    case HangUp:
        platform::runTask(kestrel::hangUpAction);
        break;
    case Mute:
        kestrel::setMute(!kestrel::muted());
        button(Mute)->update();
        break;
    case Lamp: {
        const bool on = !s.settings.answerphone;
        platform::runTask([on] { kestrel::setAnswerphone(on); });
        break;
    }
    case Close:
        close();
        break;
    case Contacts:
        openCard(ContactsCard);
        break;
    case AnswerPhone:
        openCard(AnswerPhoneCard);
        update();
        break;
    case Settings:
        openCard(SettingsCard);
        break;
    default:
        break;
    }
}

} // namespace ui
