// The main window: the phone face. A fixed-size themed face with the header
// (logo, name, balance line, second line, display line) and the panel of
// painted buttons, the handle field and the three timers.
//
// Lengths are logical pixels at 96 DPI; Qt's device-pixel ratio scales them,
// so at a scale of 1.5 the 460 x 508 face covers 690 x 762 device pixels.
// The face paints from copies of the phone state taken through
// calls/phone_actions.h; tests hand it copies of their own instead.
#pragma once

#include "calls/phone_actions.h"

#include <QColor>
#include <QPainter>
#include <QPixmap>
#include <QPointer>
#include <QRect>
#include <QString>
#include <QWidget>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>

class QAbstractButton;
class QLineEdit;

namespace ui {

class CardWindow;

// What the face paints, copied at once.
struct FaceState {
    kestrel::PhoneSnapshot phone;
    kestrel::PhoneSettings settings;
    bool newMessage = false;
    bool muted = false;
    bool playing = false; // a message plays
    bool paused = false;
    int64_t pauseStart = 0;
    int64_t playbackStart = 0;
};

// The bands and control rectangles of the face at 96 DPI.
struct FaceGeometry {
    int width = 460, height = 508;
    int b0 = 0, b1 = 0, b2 = 0, b3 = 0, b4 = 0, b5 = 0;
    QRect connect, settings, close, contacts, answerphone, lamp, handle, call, hangUp, mute;
};
FaceGeometry faceGeometry();

// One of the five palettes (0 Blue, 1 Rose, 2 Gold, 3 Green, 4 Black-gold;
// any other index is Blue): 21 colours in palette order.
const std::array<QColor, 21>& themePalette(int theme);

// What a line of the face shows: text, colour, pixel size, weight.
struct FaceLine {
    QString text;
    QColor colour;
    int pixelSize = 15;
    bool bold = false;
};
FaceLine secondLine(const FaceState& state);
// now in seconds, tick in milliseconds (the blink phase).
FaceLine displayLine(const FaceState& state, int64_t now, int64_t tick);
QString callCaption(const FaceState& state);

// Hands an application message (WM_PHONE_STATUS and its kin, by value) to
// the face as a posted Qt event; safe from any thread while the face lives.
void postPhoneMessage(QObject* face, uint32_t message, intptr_t param);

// The body of a rounded button (face and cards): its gradient from top to
// bottom (swapped while down, grey when disabled), a dark outline and a
// light inner line.
void paintRoundedBody(QPainter& p, const QRect& area, QColor top, QColor bottom, bool down, bool enabled);

class PhoneFace : public QWidget {
    Q_OBJECT
public:
    explicit PhoneFace(QWidget* parent = nullptr);
    ~PhoneFace() override;

    // Tests and screenshots: paint from these copies instead of the phone's,
    // and read clocks from these values (zero: the real clocks).
    void setStateSource(std::function<FaceState()> source);
    void setClock(int64_t nowSeconds, int64_t tickMillis);

    // Application messages (posted by the shell's event sink).
    void phoneStatus();
    void phoneConnection(bool connected);
    void phoneRing();
    void phoneUpdate(intptr_t param);

    // The card window (one, reused for every kind; made on first use and
    // gone when closed) and opening kind in it.
    CardWindow* card() const;
    CardWindow* openCard(int kind);
    // Whether a card is open: read by the shell from any thread.
    bool cardOpen() const { return cardOpen_.load(); }
    // Tests and screenshots: every card made from now on reads this source.
    std::function<void(CardWindow*)> prepareCard;

    // Read by tests.
    QAbstractButton* button(int id) const;
    QLineEdit* handleField() const { return handle_; }
    bool callDisplaced() const { return displaced_; }
    int alerts() const { return alerts_; }
    bool ringTimerActive() const { return ringTimer_ != 0; }
    void ringTick(); // one tick of the ringing timer
    FaceState state() const;

    // The update answer (WM_PHONE_UPDATE: latest build + 1, 0 when the check
    // failed). A newer build than this one asks askUpdate the question and,
    // on yes, opens the download page with the desktop's browser.
    QString downloadAddress;
    int thisBuild = 3;
    bool updateAvailable = false;
    std::function<bool(const QString& question)> askUpdate;

protected:
    void paintEvent(QPaintEvent*) override;
    void timerEvent(QTimerEvent*) override;
    bool event(QEvent*) override;
    void closeEvent(QCloseEvent*) override;

private:
    void layoutControls();
    void applyTheme(int theme);
    void onButton(int id);
    void paintBackground(QPainter& p, const QRect& area, const QPoint& offset) const;

    std::function<FaceState()> source_;
    int64_t now_ = 0, tick_ = 0;
    std::array<QAbstractButton*, 9> buttons_ {};
    QLineEdit* handle_ = nullptr;
    QPixmap logo_; // drawn once, on the first paint
    int blinkTimer_ = 0, ringTimer_ = 0;
    int blinkPhase_ = -1;
    int64_t lastSecond_ = -1;
    int ringPhase_ = 0;
    bool displaced_ = false;
    bool flashing_ = false;
    int alerts_ = 0;
    int theme_ = -1;
    QPointer<CardWindow> card_;
    std::atomic<bool> cardOpen_ {false};
    friend class FaceButton;
};

} // namespace ui
