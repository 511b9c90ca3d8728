#include "ui/card_window.h"

#include "ui/phone_face.h"

#include "platform/config.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QStyledItemDelegate>
#include <QUrl>

#include <algorithm>

namespace ui {

namespace {

enum Id {
    List = 2001,
    Use = 2002,
    Save = 2003,
    Delete = 2004,
    Play = 2005,
    AnswerSwitch = 2006,
    SavedMsgs = 2008,
    History = 2009,
    Theme0 = 2010,
    Theme3 = 2013,
    Notify = 2014,
    Display = 2015,
    Startup = 2016,
    Close = 2017,
    Output = 2018,
    Stop = 2019,
    CallsTo = 2020,
    CallsFrom = 2021,
    Pause = 2022,
    ShowAll = 2023,
    Hide = 2024,
    Volume = 2025,
    FeeList = 2026,
    Add = 2027,
    Remove = 2028,
    Fee = 2029,
    Blocked = 2030,
    Block = 2031,
    Unblock = 2032,
    Record = 2033,
    PlayGreeting = 2034,
    Sounds = 2035,
    Fees = 2036,
    Options = 2037,
    Themes = 2038,
    Theme4 = 2039,
    Back = 2040,
};

// Every button, in creation order.
constexpr int kAllButtons[] = {Use,    Save,         Delete,  Play,   Pause,   Stop,      AnswerSwitch, SavedMsgs,
                               Record, PlayGreeting, History, Close,  CallsTo, CallsFrom, ShowAll,      Hide,
                               Notify, Display,      Startup, Output, Volume,  FeeList,   Fee,          Add,
                               Remove, Blocked,      Sounds,  Fees,   Options, Themes,    Block,        Unblock,
                               Theme0, 2011,         2012,    Theme3, Theme4,  Back};

const QColor kText(0xF4, 0xEC, 0xDC);
const QString kExplorer = QStringLiteral("https://whatsonchain.com/tx/");

int historyFilterValue = 0; // for the process, not stored

QFont cardFont(const char* family, int pixels, bool bold)
{
    QFont f(QString::fromLatin1(family));
    f.setStyleHint(QString::fromLatin1(family) == QLatin1String("Consolas") ? QFont::Monospace : QFont::SansSerif);
    f.setPixelSize(pixels);
    f.setBold(bold);
    return f;
}

bool isMenuKind(int kind)
{
    return kind == SettingsCard || (kind >= SoundsCard && kind <= ThemesCard);
}

bool hasHandleField(int kind)
{
    return kind == ContactsCard || kind == BlockedCard;
}

// Lightens each channel of c by d (clamped), keeping alpha.
QColor lightened(const QColor& c, int d)
{
    auto clamp = [](int v) { return std::clamp(v, 0, 255); };
    return QColor(clamp(c.red() + d), clamp(c.green() + d), clamp(c.blue() + d), c.alpha());
}

QString q(const std::string& s)
{
    return QString::fromStdString(s);
}

} // namespace

// --- Rows, titles, sizes and captions -----------------------------------------------------

QString messageLength(size_t audioBytes)
{
    const size_t seconds = std::max<size_t>(audioBytes / 1625, 1);
    return QString::asprintf("%zu:%02zu", seconds / 60, seconds % 60);
}

std::vector<CardRow> buildCardRows(int kind, const CardData& d, int filter)
{
    std::vector<CardRow> rows;
    auto text = [&rows](const char* line) {
        CardRow r;
        r.first = QString::fromLatin1(line);
        rows.push_back(r);
    };
    switch (kind) {
    case ContactsCard:
        for (const kestrel::ContactRow& c : d.contacts) {
            CardRow r {68, 1, -1, -1, c.dest.substr(0, c.dest.find('@')), q(c.dest), q(c.note), {}};
            rows.push_back(r);
        }
        if (rows.empty()) text("No contacts yet.");
        break;
    case AnswerPhoneCard:
        for (const kestrel::MessageRow& m : d.inbox) {
            const std::string who = m.from.empty() ? m.id : m.from;
            QString second = q(kestrel::messageTimeText(m.ts));
            if (m.secs > 0) second += QStringLiteral("    %1s").arg(m.secs);
            rows.push_back({68, 1, m.n, -1, who, q(who), second, m.txid});
        }
        if (rows.empty()) text(d.phone.connected ? "No messages yet." : "Connect Tessera as the recipient.");
        break;
    case SavedCard: {
        const std::string own = kestrel::handleForm(d.phone.handle);
        for (size_t i = 0; i < d.saved.size(); ++i) {
            const kestrel::MessageRow& m = d.saved[i];
            if (!own.empty() && kestrel::handleForm(m.from) == own) continue;
            const QString first = m.from.empty() ? QStringLiteral("from someone") : QStringLiteral("from ") + q(m.from);
            rows.push_back({86, 5, m.n, static_cast<int>(i), {}, first, messageLength(m.audioBytes), m.txid});
        }
        if (rows.empty()) text("No saved messages.");
        break;
    }
    case HistoryCard: {
        const std::string& own = d.owner;
        for (const kestrel::CallRow& c : d.calls) {
            const std::string from = kestrel::handleForm(c.from), to = kestrel::handleForm(c.to);
            const bool outgoing = !own.empty() && from == own && to != own;
            const bool incoming = to == own && from != own;
            if (c.hidden && filter != 3) continue;
            if (filter == 1 && !outgoing) continue;
            if (filter == 2 && !incoming) continue;
            CardRow r {72, 2, -1, c.index, {}, {}, {}, c.txid};
            const QString when = q(kestrel::messageTimeText(c.ts));
            if (c.missed) {
                r.first = outgoing ? QStringLiteral("Missed call to ") + q(c.to)
                                   : QStringLiteral("Missed call from ") + q(c.from);
                r.second = when;
            } else {
                r.first = q(c.from) + QStringLiteral("   to   ") + q(c.to);
                r.second = when + (when.isEmpty() ? QString() : QStringLiteral("    ")) + QString::number(c.secs) +
                           QStringLiteral(" seconds    ") + q(kestrel::formatAmount(c.sats, d.settings.bsv));
            }
            if (c.hidden) r.second += QStringLiteral("    hidden");
            rows.push_back(r);
        }
        if (rows.empty()) text(d.calls.empty() ? "No calls yet." : "No calls in this filter.");
        break;
    }
    case FeeListCard: {
        const char* fees[][2] = {
            {"Connecting", "1p in BSV, at the rate. Miner fee, 100 sats per kb."},
            {"Talking", "Miner fee, 1 sat per kb, plus 2 sats."},
            {"A message", "Miner fee, 100 sats per kb, plus 2 sats."},
            {"Ring, answer, hang-up", "Miner fee, 1 sat per kb, plus 2 sats."},
        };
        for (const auto& f : fees)
            rows.push_back({68, 2, -1, -1, {}, QString::fromLatin1(f[0]), QString::fromLatin1(f[1]), {}});
        break;
    }
    case BlockedCard:
        for (const std::string& h : d.blocked) rows.push_back({68, 1, -1, -1, h, q(h), {}, {}});
        if (rows.empty()) text("No one is blocked.");
        break;
    default:
        break;
    }
    return rows;
}

QString cardTitle(int kind)
{
    static const char* titles[] = {"",         "Contacts", "Answer-phone", "Saved messages", "Settings", "Call history",
                                   "Fee list", "Blocked",  "Sounds",       "Fees",           "Options",  "Themes"};
    return kind >= 1 && kind <= 11 ? QString::fromLatin1(titles[kind]) : QString();
}

std::vector<int> cardButtonIds(int kind)
{
    switch (kind) {
    case ContactsCard:
        return {Add, Remove, Use, Close};
    case AnswerPhoneCard:
        return {Save, Delete, Play, Pause, Stop, AnswerSwitch, SavedMsgs, Record, PlayGreeting};
    case SavedCard:
        return {Play, Pause, Stop, Delete, AnswerSwitch};
    case SettingsCard:
        return {History, Blocked, Sounds, Fees, Options, Themes};
    case HistoryCard:
        return {CallsTo, CallsFrom, ShowAll, Hide, Close};
    case FeeListCard:
        return {Close};
    case BlockedCard:
        return {Block, Unblock, Close};
    case SoundsCard:
        return {Output, Volume, Back};
    case FeesCard:
        return {FeeList, Fee, Back};
    case OptionsCard:
        return {Notify, Display, Startup, Back};
    case ThemesCard:
        return {Theme0, 2011, 2012, Theme3, Theme4, Back};
    default:
        return {};
    }
}

namespace {

// Menu buttons stack from y 16, 42 high, 12 apart.
int menuButtonBottom(int index)
{
    return 16 + index * (42 + 12) + 42;
}

} // namespace

QSize cardClientSize(int kind)
{
    switch (kind) {
    case ContactsCard:
    case AnswerPhoneCard:
    case SavedCard:
    case BlockedCard:
        return {460, 460};
    case HistoryCard:
        return {460, 520};
    case FeeListCard:
        return {460, 420};
    case SettingsCard:
        return {280, menuButtonBottom(5) + 78};
    case SoundsCard:
    case FeesCard:
    case OptionsCard:
    case ThemesCard:
        return {280, menuButtonBottom(static_cast<int>(cardButtonIds(kind).size()) - 1) + 28};
    default:
        return {};
    }
}

QString cardCaption(int id, const CardData& d)
{
    switch (id) {
    case AnswerSwitch:
        return d.settings.answerphone ? QStringLiteral("Answer-phone on") : QStringLiteral("Answer-phone off");
    case Record:
        return d.phone.state == kestrel::PhoneCallState::RecordingGreeting ? QStringLiteral("Stop")
                                                                           : QStringLiteral("Record Greeting");
    case Notify: {
        static const char* modes[] = {"all", "sound", "vibrate", "off"};
        return QStringLiteral("Notifications ") + QString::fromLatin1(modes[std::clamp(d.settings.notify, 0, 3)]);
    }
    case Display:
        return d.settings.bsv ? QStringLiteral("Display BSV") : QStringLiteral("Display sats");
    case Startup:
        return d.startup ? QStringLiteral("Remove from Startup") : QStringLiteral("Add to Startup");
    case Output:
        return d.outputCaption.isEmpty() ? QStringLiteral("Output: none") : d.outputCaption;
    case Volume:
        return QStringLiteral("Volume %1%").arg(d.settings.volume);
    case Fee:
        return QStringLiteral("Connection fee %1 sat/s").arg(d.settings.phoneFee);
    case Play:
        return d.playback.playing ? QStringLiteral("Playing") : QStringLiteral("Play");
    case Pause:
        return d.playback.playing && d.playback.paused ? QStringLiteral("Resume") : QStringLiteral("Pause");
    default:
        break;
    }
    static const std::map<int, const char*> fixed = {
        {Use, "Use"},
        {Save, "Save"},
        {Delete, "Delete"},
        {SavedMsgs, "Saved msgs"},
        {History, "Call history"},
        {Close, "Close"},
        {Stop, "Stop"},
        {CallsTo, "Calls to"},
        {CallsFrom, "Calls from"},
        {ShowAll, "Show all"},
        {Hide, "Hide"},
        {FeeList, "Fee list"},
        {Add, "Add"},
        {Remove, "Remove"},
        {Blocked, "Blocked"},
        {Block, "Block"},
        {Unblock, "Unblock"},
        {PlayGreeting, "Play recording"},
        {Sounds, "Sounds"},
        {Fees, "Fees"},
        {Options, "Options"},
        {Themes, "Themes"},
        {Theme0, "Blue"},
        {2011, "Rose"},
        {2012, "Gold"},
        {Theme3, "Green"},
        {Theme4, "Black-gold"},
        {Back, "Back"},
    };
    const auto found = fixed.find(id);
    return found != fixed.end() ? QString::fromLatin1(found->second) : QString();
}

CardData readCardData(int kind)
{
    CardData d;
    d.phone = kestrel::phoneSnapshot();
    d.settings = kestrel::phoneSettings();
    d.playback = kestrel::playbackSnapshot();
    std::string error;
    switch (kind) {
    case ContactsCard:
        if (d.phone.connected) d.contacts = kestrel::contactList(error);
        break;
    case AnswerPhoneCard:
        d.inbox = kestrel::inboxMessages();
        break;
    case SavedCard:
        kestrel::renumberSavedMessages();
        d.saved = kestrel::savedMessages();
        break;
    case HistoryCard:
        d.calls = kestrel::callHistory();
        d.owner = kestrel::historyOwner();
        break;
    case BlockedCard:
        d.blocked = kestrel::blockedHandles();
        break;
    case SoundsCard:
        d.outputCaption = q(kestrel::outputCaption());
        break;
    case OptionsCard:
        d.startup = kestrel::startupRegistered();
        break;
    default:
        break;
    }
    return d;
}

// --- Buttons --------------------------------------------------------------------------------

class CardButton : public QAbstractButton {
public:
    explicit CardButton(CardWindow* card) : QAbstractButton(card), card_(card)
    {
        setFocusPolicy(Qt::NoFocus);
        setAttribute(Qt::WA_OpaquePaintEvent);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const auto& pal = themePalette(card_->data().settings.theme);
        // Behind the button: the card's own gradient, so the corners blend in.
        QLinearGradient back(0, -y(), 0, card_->height() - y());
        back.setColorAt(0, pal[6]);
        back.setColorAt(1, pal[7]);
        p.fillRect(rect(), back);
        paintRoundedBody(p, rect(), pal[17], pal[18], isDown(), isEnabled());
        // A caption wider than a narrow button steps down rather than being cut.
        int size = height() > 64 ? 18 : height() > 44 ? 16 : 13;
        QFont f = cardFont("Segoe UI", size, true);
        while (size > 9 && QFontMetrics(f).horizontalAdvance(text()) > width() - 8) f.setPixelSize(--size);
        p.setFont(f);
        p.setPen(QColor(0xF6, 0xF2, 0xE6));
        p.drawText(rect(), Qt::AlignCenter, text());
    }

private:
    CardWindow* card_;
};

// --- Row painting ---------------------------------------------------------------------------

class CardRowPainter : public QStyledItemDelegate {
public:
    explicit CardRowPainter(CardWindow* card) : QStyledItemDelegate(card), card_(card) {}

    QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex& index) const override
    {
        const auto& rows = card_->rows_;
        const int i = index.row();
        return QSize(100, i >= 0 && static_cast<size_t>(i) < rows.size() ? rows[static_cast<size_t>(i)].height : 28);
    }

    void paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        const auto& rows = card_->rows_;
        const int i = index.row();
        if (i < 0 || static_cast<size_t>(i) >= rows.size()) return;
        const CardRow& row = rows[static_cast<size_t>(i)];
        const auto& pal = themePalette(card_->data().settings.theme);
        const bool sel = option.state & QStyle::State_Selected;
        const QRect item = option.rect;
        p->save();
        p->setRenderHint(QPainter::Antialiasing);
        p->setRenderHint(QPainter::TextAntialiasing);
        p->setRenderHint(QPainter::SmoothPixmapTransform);
        p->fillRect(item, sel ? pal[16] : pal[15]);
        const QFont bold = cardFont("Segoe UI", 15, true), regular = cardFont("Segoe UI", 13, false);
        auto line = [p](const QRect& box, const QString& text, const QFont& font, const QColor& colour, int align) {
            p->setFont(font);
            p->setPen(colour);
            p->drawText(box, align | Qt::TextSingleLine,
                        QFontMetrics(font).elidedText(text, Qt::ElideRight, std::max(box.width(), 0)));
        };
        if (row.type == 0) {
            line(item.adjusted(12, 4, -8, -2), row.first, regular, kText, Qt::AlignLeft | Qt::AlignTop);
        } else if (row.type == 5) {
            const QRectF panel = QRectF(item).adjusted(8, 5, -8, -5);
            const int d = (i % 3) * 10;
            QLinearGradient g(panel.topLeft(), panel.bottomLeft());
            g.setColorAt(0, lightened(pal[8], sel ? d + 26 : d + 12));
            g.setColorAt(1, lightened(pal[8], sel ? d + 6 : d - 10));
            p->setBrush(g);
            p->setPen(QPen(sel ? pal[10] : pal[9], sel ? 1.6 : 1.1));
            p->drawRoundedRect(panel, 12, 12);
            const QRectF badge(panel.left() + 12, panel.center().y() - 20, 40, 40);
            QLinearGradient bg(badge.topLeft(), badge.bottomLeft());
            bg.setColorAt(0, pal[17]);
            bg.setColorAt(1, pal[18]);
            p->setBrush(bg);
            p->setPen(Qt::NoPen);
            p->drawRoundedRect(badge, 10, 10);
            line(badge.toRect(), QString::number(row.number < 1 ? i + 1 : row.number), bold, kText, Qt::AlignCenter);
            const int left = static_cast<int>(badge.right()) + 12;
            const int right = static_cast<int>(panel.right()) - (row.second.isEmpty() ? 14 : 78);
            line(QRect(left, static_cast<int>(panel.center().y()) - 11, right - left, 22), row.first, bold, kText,
                 Qt::AlignLeft | Qt::AlignVCenter);
            if (!row.second.isEmpty())
                line(QRect(left, static_cast<int>(panel.top()), static_cast<int>(panel.right()) - 14 - left,
                           static_cast<int>(panel.height())),
                     row.second, cardFont("Consolas", 15, false), kText, Qt::AlignRight | Qt::AlignVCenter);
        } else {
            const QRectF panel = QRectF(item).adjusted(6, 3, -6, -3);
            p->setBrush(pal[8]);
            p->setPen(QPen(sel ? pal[10] : pal[9], 1.2));
            p->drawRoundedRect(panel, 10, 10);
            int left = static_cast<int>(panel.left()) + 12;
            if (row.type == 1) {
                const QRectF circle(panel.left() + 10, panel.center().y() - 20, 40, 40);
                const QImage picture = card_->avatar(row.key);
                if (!picture.isNull()) {
                    QPainterPath clip;
                    clip.addEllipse(circle);
                    p->save();
                    p->setClipPath(clip);
                    p->drawImage(circle, picture);
                    p->restore();
                } else {
                    p->setBrush(pal[17]);
                    p->setPen(Qt::NoPen);
                    p->drawEllipse(circle);
                    line(circle.toRect(), row.first.isEmpty() ? QStringLiteral("?") : row.first.left(1), bold, kText,
                         Qt::AlignCenter);
                }
                left = static_cast<int>(circle.right()) + 10;
            }
            const int right = static_cast<int>(panel.right()) - 10;
            if (row.second.isEmpty()) {
                line(QRect(left, static_cast<int>(panel.center().y()) - 10, right - left, 20), row.first, bold, kText,
                     Qt::AlignLeft | Qt::AlignVCenter);
            } else {
                const int top = static_cast<int>(panel.top()) + 8;
                line(QRect(left, top, right - left, 20), row.first, bold, kText, Qt::AlignLeft | Qt::AlignVCenter);
                line(QRect(left, top + 22, right - left, 20), row.second, regular, pal[12],
                     Qt::AlignLeft | Qt::AlignVCenter);
            }
        }
        p->restore();
    }

private:
    CardWindow* card_;
};

// --- The card -------------------------------------------------------------------------------

CardWindow::CardWindow(QWidget* owner) : QWidget(owner, Qt::Tool)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMouseTracking(true);
    list_ = new QListWidget(this);
    list_->setItemDelegate(new CardRowPainter(this));
    list_->setFrameShape(QFrame::NoFrame);
    list_->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list_->setUniformItemSizes(false);
    list_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(list_, &QListWidget::itemDoubleClicked, this, [this] {
        if (kind_ == HistoryCard) command(List);
    });
    connect(list_, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) { contextMenuAt(at); });
    for (const int id : kAllButtons) {
        auto* b = new CardButton(this);
        buttons_[id] = b;
        b->hide();
        connect(b, &QAbstractButton::clicked, this, [this, id] { command(id); });
    }
    handle_ = new QLineEdit(this);
    handle_->setPlaceholderText(QStringLiteral("handle"));
    handle_->setFrame(false);
    handle_->setFont(cardFont("Segoe UI", 15, false));
    handle_->setTextMargins(8, 0, 8, 0);
    handle_->setMaxLength(180);
    connect(handle_, &QLineEdit::returnPressed, this, [this] { command(kind_ == BlockedCard ? Block : Add); });
    const platform::Config& config = platform::config();
    homeAddress = q(config.download_site);
    siteName = QUrl(homeAddress).host();
}

CardWindow::~CardWindow() = default;

int CardWindow::historyFilter()
{
    return historyFilterValue;
}

void CardWindow::setDataSource(std::function<CardData(int kind)> source)
{
    source_ = std::move(source);
}

void CardWindow::setAvatarSource(std::function<QImage(const std::string& key)> source)
{
    avatarSource_ = std::move(source);
}

CardData CardWindow::data() const
{
    return source_ ? source_(kind_) : readCardData(kind_);
}

QImage CardWindow::avatar(const std::string& key)
{
    if (avatarSource_) return avatarSource_(key);
    if (key.empty()) return {};
    const auto found = decoded_.find(key);
    if (found != decoded_.end()) return found->second;
    const std::string bytes = kestrel::avatarImage(key);
    if (bytes.empty()) return {}; // not (yet) fetched: asked again at the next paint
    // Decoded once; a picture that does not decode stays the letter circle.
    QImage picture;
    picture.loadFromData(reinterpret_cast<const uchar*>(bytes.data()), static_cast<int>(bytes.size()));
    decoded_[key] = picture;
    return picture;
}

QAbstractButton* CardWindow::button(int id) const
{
    const auto found = buttons_.find(id);
    return found != buttons_.end() ? found->second : nullptr;
}

void CardWindow::storePlacement()
{
    if (kind_ < 1 || isMinimized()) return;
    kestrel::storeCardPlacement(kind_, pos().x(), pos().y());
}

void CardWindow::openCard(int kind)
{
    if (kind < 1 || kind > 11) return;
    if (kind_ >= 1) storePlacement();
    kind_ = kind;
    setWindowTitle(cardTitle(kind));
    setFixedSize(cardClientSize(kind));
    const kestrel::CardPlace place = kestrel::cardPlacement(kind);
    if (place.set) {
        QPoint at(place.x, place.y);
        const QScreen* screen = QGuiApplication::screenAt(at);
        if (!screen) screen = QGuiApplication::primaryScreen();
        if (screen) {
            // Kept inside the work area, so a card left on a screen that is gone comes back.
            const QRect area = screen->availableGeometry();
            at.setX(std::clamp(at.x(), area.left(), std::max(area.left(), area.right() + 1 - width())));
            at.setY(std::clamp(at.y(), area.top(), std::max(area.top(), area.bottom() + 1 - height())));
        }
        move(at);
    }
    show();
    raise();
    rebuild();
    layoutControls();
    update();
}

void CardWindow::rebuild()
{
    const CardData d = data();
    rows_ = buildCardRows(kind_, d, historyFilterValue);
    if (!source_)
        for (const CardRow& r : rows_)
            if (r.type == 1) kestrel::wantAvatar(r.key);
    list_->clear();
    for (const CardRow& r : rows_) {
        auto* item = new QListWidgetItem(r.first, list_);
        item->setSizeHint(QSize(100, r.height));
    }
    refreshCaptions();
}

void CardWindow::refreshCaptions()
{
    const CardData d = data();
    for (const int id : cardButtonIds(kind_)) button(id)->setText(cardCaption(id, d));
    // The palette follows the theme.
    const auto& pal = themePalette(d.settings.theme);
    list_->setStyleSheet(
        QStringLiteral("QListWidget { background: %1; border: none; outline: none; }").arg(pal[13].name()));
    handle_->setStyleSheet(
        QStringLiteral("QLineEdit { color: #F4EBDC; background: %1; border: none; border-radius: 6px; }")
            .arg(pal[14].name()));
    layoutControls();
    for (const auto& [id, b] : buttons_) b->update();
    list_->viewport()->update();
    update();
}

void CardWindow::layoutControls()
{
    if (kind_ < 1) return;
    const QSize size = cardClientSize(kind_);
    const int W = size.width(), H = size.height();
    const std::vector<int> ids = cardButtonIds(kind_);
    for (auto& [id, b] : buttons_) b->setVisible(std::find(ids.begin(), ids.end(), id) != ids.end());
    handle_->setVisible(hasHandleField(kind_));
    list_->setVisible(!isMenuKind(kind_));
    if (isMenuKind(kind_)) {
        for (size_t i = 0; i < ids.size(); ++i)
            button(ids[i])->setGeometry(18, 16 + static_cast<int>(i) * (42 + 12), W - 36, 42);
        return;
    }
    // Button rows from the bottom up: 40 high, 16 apart.
    auto row = [this, W](const std::vector<int>& rowIds, int y) {
        const int n = static_cast<int>(rowIds.size());
        const int room = W - 16 * (n + 1);
        // Equal widths, unless a caption would not fit: then each button gets
        // room in proportion to its caption.
        const QFontMetrics metrics(cardFont("Segoe UI", 13, true));
        std::vector<int> need;
        int total = 0;
        bool fits = true;
        for (const int id : rowIds) {
            need.push_back(std::max(metrics.horizontalAdvance(button(id)->text()) + 16, 56));
            total += need.back();
            fits = fits && need.back() <= room / n;
        }
        int x = 16;
        for (int i = 0; i < n; ++i) {
            const int w =
                fits ? room / n : (i == n - 1 ? W - 16 - x : room * need[static_cast<size_t>(i)] / std::max(total, 1));
            button(rowIds[static_cast<size_t>(i)])->setGeometry(x, y, w, 40);
            x += w + 16;
        }
    };
    int top = H - 16 - 40;
    if (kind_ == AnswerPhoneCard) {
        row({Save, Delete, Play, Pause, Stop}, top - 40 - 16);
        row({AnswerSwitch, SavedMsgs, Record, PlayGreeting}, top);
        top -= 40 + 16;
    } else {
        row(ids, top);
    }
    if (hasHandleField(kind_)) {
        top -= 16 + 36;
        handle_->setGeometry(16, top, W - 32, 36);
    }
    list_->setGeometry(16, 16, W - 32, std::max(top - 16 - 16, 28));
}

const CardRow* CardWindow::selected() const
{
    const int i = list_->currentRow();
    if (i < 0 || static_cast<size_t>(i) >= rows_.size() || !list_->currentItem() || !list_->currentItem()->isSelected())
        return nullptr;
    return &rows_[static_cast<size_t>(i)];
}

void CardWindow::selectRow(int index)
{
    list_->setCurrentRow(index);
}

void CardWindow::open(const QString& address)
{
    if (openAddress)
        openAddress(address);
    else
        QDesktopServices::openUrl(QUrl(address));
}

void CardWindow::playSelected()
{
    const CardRow* row = selected();
    const int n = row && row->type != 0 ? row->number : 0;
    const bool played = kind_ == SavedCard ? kestrel::playSavedMessage(n) : kestrel::playInboxMessage(n);
    (void)played; // the refusals are status lines; the captions follow the playback
    refreshCaptions();
}

void CardWindow::command(int id)
{
    const CardRow* row = selected();
    const bool picked = row && row->type != 0;
    const CardData d = data();
    auto status = [](const char* text) { kestrel::showStatus(text); };
    switch (id) {
    case List:
        if (kind_ != HistoryCard) return;
        if (picked && row->txid.size() == 64)
            open(kExplorer + q(row->txid));
        else
            status("That call has no transaction.");
        return;
    case CallsTo:
    case CallsFrom: {
        const int wanted = id == CallsTo ? 1 : 2;
        historyFilterValue = historyFilterValue == wanted ? 0 : wanted;
        if (kind_ == HistoryCard) rebuild();
        return;
    }
    case ShowAll:
        if (kind_ != HistoryCard) return;
        historyFilterValue = historyFilterValue == 0 ? 3 : 0;
        rebuild();
        if (historyFilterValue == 3) status("Hidden calls are listed.");
        return;
    case Hide: {
        if (kind_ != HistoryCard) return;
        bool hidden = false;
        if (!picked || !kestrel::toggleCallHidden(row->source, hidden)) return status("Select a call first.");
        status(hidden ? "Call hidden. Show all lists it." : "Call shown.");
        rebuild();
        return;
    }
    case AnswerSwitch:
        kestrel::setAnswerphone(!d.settings.answerphone);
        refreshCaptions();
        if (faceChanged) faceChanged();
        return;
    case Record:
        if (kind_ != AnswerPhoneCard) return;
        if (d.phone.state == kestrel::PhoneCallState::Idle) kestrel::recordGreetingAction();
        if (d.phone.state == kestrel::PhoneCallState::RecordingGreeting) kestrel::stopGreetingAction();
        return;
    case PlayGreeting:
        if (kind_ == AnswerPhoneCard) kestrel::playGreetingAction();
        return;
    case SavedMsgs:
        return openCard(SavedCard);
    case History:
        return openCard(HistoryCard);
    case FeeList:
        return openCard(FeeListCard);
    case Blocked:
        return openCard(BlockedCard);
    case Sounds:
        return openCard(SoundsCard);
    case Fees:
        return openCard(FeesCard);
    case Options:
        return openCard(OptionsCard);
    case Themes:
        return openCard(ThemesCard);
    case Back:
        if (kind_ >= SoundsCard) openCard(SettingsCard);
        return;
    case Close:
        close();
        return;
    case Add: {
        if (kind_ != ContactsCard) return;
        const std::string answer = kestrel::addContact(handle_->text().toStdString());
        if (answer == "Type a handle to add.") handle_->setFocus();
        if (answer.starts_with("Added ")) {
            handle_->clear();
            rebuild();
        }
        return;
    }
    case Remove:
        if (kind_ != ContactsCard) return;
        if (!picked) return status("Pick a contact first.");
        if (kestrel::removeContact(row->first.toStdString()).starts_with("Removed ")) rebuild();
        return;
    case Use:
        if (kind_ == ContactsCard && picked && useHandle) useHandle(row->first);
        return;
    case Block: {
        if (kind_ != BlockedCard) return;
        const std::string answer = kestrel::blockHandle(handle_->text().toStdString());
        if (answer == "Type a handle to block.") handle_->setFocus();
        if (answer.starts_with("Blocked ")) {
            handle_->clear();
            rebuild();
        }
        return;
    }
    case Unblock:
        if (kind_ != BlockedCard) return;
        if (!picked) return status("Pick a handle first.");
        kestrel::unblockHandle(row->key);
        rebuild();
        return;
    case Save:
        if (kind_ == AnswerPhoneCard && picked) kestrel::saveInbox(row->number);
        return;
    case Delete:
        if (!picked) return;
        if (kind_ == AnswerPhoneCard) kestrel::deleteInbox(row->number);
        if (kind_ == SavedCard) kestrel::deleteSaved(row->number);
        rebuild();
        return;
    case Play:
        if (kind_ == AnswerPhoneCard || kind_ == SavedCard) playSelected();
        return;
    case Pause:
        kestrel::pauseMessage();
        refreshCaptions();
        return;
    case Stop:
        kestrel::stopMessage();
        refreshCaptions();
        return;
    case Notify:
        kestrel::setNotifyMode((d.settings.notify + 1) % 4);
        refreshCaptions();
        return;
    case Display:
        kestrel::setAmountInBsv(!d.settings.bsv);
        refreshCaptions();
        if (faceChanged) faceChanged();
        return;
    case Startup:
        kestrel::toggleStartup(QCoreApplication::applicationFilePath().toStdString());
        refreshCaptions();
        return;
    case Output:
        showOutputMenu();
        return;
    case Volume:
        kestrel::setVolume(kestrel::nextVolume(d.settings.volume));
        refreshCaptions();
        return;
    case Fee:
        kestrel::setPhoneFee(kestrel::nextPhoneFee(d.settings.phoneFee));
        refreshCaptions();
        return;
    case Theme0:
    case 2011:
    case 2012:
    case Theme3:
    case Theme4:
        kestrel::setThemeIndex(id == Theme4 ? 4 : id - Theme0);
        refreshCaptions();
        if (faceChanged) faceChanged();
        return;
    default:
        return;
    }
}

void CardWindow::showOutputMenu()
{
    QMenu menu(this);
    for (const kestrel::OutputChoice& c : kestrel::outputChoices()) {
        QAction* a = menu.addAction(q(c.label));
        a->setCheckable(true);
        a->setChecked(c.chosen);
        connect(a, &QAction::triggered, this, [this, id = c.id] {
            kestrel::chooseOutputDevice(id);
            refreshCaptions();
        });
    }
    if (menu.isEmpty()) menu.addAction(QStringLiteral("No outputs"))->setEnabled(false);
    QAbstractButton* b = button(Output);
    menu.exec(b->mapToGlobal(QPoint(0, b->height())));
}

void CardWindow::contextMenuAt(const QPoint& at)
{
    if (kind_ != SavedCard) return;
    const int i = list_->indexAt(at).row();
    if (i >= 0) selectRow(i);
    const CardRow* row = selected();
    if (!row || row->txid.size() != 64) return;
    QMenu menu(this);
    QAction* a = menu.addAction(q(row->txid));
    if (menu.exec(list_->viewport()->mapToGlobal(at)) == a) open(kExplorer + q(row->txid));
}

void CardWindow::cardRefresh()
{
    if (kind_ == AnswerPhoneCard || kind_ == SavedCard || kind_ == HistoryCard) {
        const int keep = list_->currentRow();
        rebuild();
        if (keep >= 0 && keep < list_->count()) selectRow(keep);
    } else {
        refreshCaptions();
    }
}

void CardWindow::playbackDone()
{
    refreshCaptions();
}

void CardWindow::avatarArrived()
{
    list_->viewport()->update();
}

QRect CardWindow::versionArea() const
{
    if (kind_ != SettingsCard) return {};
    const int top = menuButtonBottom(5) + 14;
    return QRect(8, top, width() - 16, updateAvailable ? 62 : 36);
}

void CardWindow::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    const auto& pal = themePalette(data().settings.theme);
    QLinearGradient back(0, 0, 0, height());
    back.setColorAt(0, pal[6]);
    back.setColorAt(1, pal[7]);
    p.fillRect(rect(), back);
    if (kind_ != SettingsCard) return;
    const QRect area = versionArea();
    p.setFont(cardFont("Segoe UI", 13, false));
    const int first = area.top() + (updateAvailable ? 2 : 0);
    if (updateAvailable) {
        p.setPen(QColor(0xFF, 0x5C, 0x48));
        p.drawText(QRect(area.left(), first, area.width(), 20), Qt::AlignCenter, QStringLiteral("Update available"));
        p.setPen(kText);
        p.drawText(QRect(area.left(), first + 22, area.width(), 20), Qt::AlignCenter, downloadAddress);
    } else {
        p.setPen(kText);
        p.drawText(QRect(area.left(), first, area.width(), 18), Qt::AlignCenter, siteName);
        p.drawText(QRect(area.left(), first + 18, area.width(), 18), Qt::AlignCenter,
                   QString::asprintf("Version %.3f", thisBuild / 1000.0));
    }
}

void CardWindow::mouseMoveEvent(QMouseEvent* e)
{
    setCursor(versionArea().contains(e->position().toPoint()) ? Qt::PointingHandCursor : Qt::ArrowCursor);
}

void CardWindow::mouseReleaseEvent(QMouseEvent* e)
{
    if (e->button() == Qt::LeftButton && versionArea().contains(e->position().toPoint()))
        open(updateAvailable ? downloadAddress : homeAddress);
}

void CardWindow::closeEvent(QCloseEvent* e)
{
    storePlacement();
    kestrel::saveEverything();
    e->accept();
}

} // namespace ui
