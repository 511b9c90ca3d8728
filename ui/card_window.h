// The card: one tool window owned by the phone face that shows one of eleven
// kinds at a time (contacts, the answer-phone inbox, saved messages, the
// settings menu, call history, the fee list, the blocked list and the four
// settings pages). Opening another kind reuses the window; each kind keeps
// its own place on the screen between runs.
//
// A card shows a painted list of rows and painted buttons; which rows and
// buttons depend on the kind. Every action reports through the status line
// of the face, refusals included. Lengths are logical pixels at 96 DPI.
// The card reads the phone through calls/phone_actions.h; tests and the
// screenshots hand it copies of their own instead.
#pragma once

#include "calls/phone_actions.h"

#include <QImage>
#include <QPointer>
#include <QSize>
#include <QString>
#include <QWidget>

#include <functional>
#include <map>
#include <string>
#include <vector>

class QAbstractButton;
class QLineEdit;
class QListWidget;

namespace ui {

enum CardKind : int {
    ContactsCard = 1,
    AnswerPhoneCard = 2,
    SavedCard = 3,
    SettingsCard = 4,
    HistoryCard = 5,
    FeeListCard = 6,
    BlockedCard = 7,
    SoundsCard = 8,
    FeesCard = 9,
    OptionsCard = 10,
    ThemesCard = 11,
};

// One row of the list.
struct CardRow {
    int height = 28;
    int type = 0;    // 0 text, 1 person (with a picture), 2 two lines, 5 saved message
    int number = -1; // inbox position or saved-message number
    int source = -1; // saved-list position or call-record index
    std::string key; // whose picture; empty for none
    QString first;
    QString second;
    std::string txid; // the transaction of a call or saved message
};

// What a card reads, copied at once. Only what the kind shows is filled.
struct CardData {
    kestrel::PhoneSnapshot phone;
    kestrel::PhoneSettings settings;
    kestrel::PlaybackSnapshot playback;
    std::vector<kestrel::ContactRow> contacts;
    std::vector<kestrel::MessageRow> inbox;
    std::vector<kestrel::MessageRow> saved;
    std::vector<kestrel::CallRow> calls; // newest first
    std::string owner;                   // comparison form of the history's owner
    std::vector<std::string> blocked;
    bool startup = false;
    QString outputCaption;
};

// The phone's own values for kind (1 to 11).
CardData readCardData(int kind);

// The rows of kind from data; historyFilter 0 all, 1 calls to, 2 calls from,
// 3 all with the hidden ones. Menu kinds have none.
std::vector<CardRow> buildCardRows(int kind, const CardData& data, int historyFilter);

// The title, client size and buttons (ids in layout order) of kind; empty
// for kinds outside 1 to 11.
QString cardTitle(int kind);
QSize cardClientSize(int kind);
std::vector<int> cardButtonIds(int kind);
// The caption of button id as data says (the changing ones follow the values).
QString cardCaption(int id, const CardData& data);

// "m:ss" of a saved message: max(bytes / 1625, 1) seconds.
QString messageLength(size_t audioBytes);

class CardWindow : public QWidget {
    Q_OBJECT
public:
    explicit CardWindow(QWidget* owner);
    ~CardWindow() override;

    // Shows kind (1 to 11; others are ignored), storing where the previous
    // kind was and moving to where this one was left (kept on the screen).
    void openCard(int kind);
    int kind() const { return kind_; }

    // Presses button id (as the card's commands do, including 2001, the
    // double-click of a call).
    void command(int id);

    // Application messages: the lists changed, a message finished playing, a
    // picture arrived.
    void cardRefresh();
    void playbackDone();
    void avatarArrived();
    // The changing captions and the theme, afresh from the phone.
    void refreshCaptions();

    // Tests and screenshots: read from this source instead of the phone (no
    // pictures are fetched then), and open addresses through openAddress.
    void setDataSource(std::function<CardData(int kind)> source);
    void setAvatarSource(std::function<QImage(const std::string& key)> source);
    std::function<void(const QString& address)> openAddress;
    // Where Use (2002) writes the chosen contact.
    std::function<void(const QString& handle)> useHandle;
    // Repaints the face after a theme or amount change.
    std::function<void()> faceChanged;

    // The version area of the settings card.
    bool updateAvailable = false;
    QString downloadAddress;
    QString homeAddress;
    QString siteName;
    int thisBuild = 3;

    // Read by tests.
    const std::vector<CardRow>& rows() const { return rows_; }
    QAbstractButton* button(int id) const;
    QLineEdit* handleField() const { return handle_; }
    QListWidget* list() const { return list_; }
    void selectRow(int index);
    static int historyFilter();
    QRect versionArea() const;
    CardData data() const;
    QImage avatar(const std::string& key);

protected:
    void paintEvent(QPaintEvent*) override;
    void closeEvent(QCloseEvent*) override;
    void mouseReleaseEvent(QMouseEvent*) override;
    void mouseMoveEvent(QMouseEvent*) override;

private:
    void rebuild();
    void layoutControls();
    void storePlacement();
    void open(const QString& address);
    void contextMenuAt(const QPoint& at);
    void showOutputMenu();
    void playSelected();
    const CardRow* selected() const;

    std::function<CardData(int)> source_;
    std::function<QImage(const std::string&)> avatarSource_;
    std::map<std::string, QImage> decoded_; // pictures decoded from the fetched bytes
    int kind_ = 0;
    std::vector<CardRow> rows_;
    std::map<int, QAbstractButton*> buttons_;
    QListWidget* list_ = nullptr;
    QLineEdit* handle_ = nullptr;
    friend class CardButton;
    friend class CardRowPainter;
};

} // namespace ui
