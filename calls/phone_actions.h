// What the user interface may do and read: the actions behind the phone's
// buttons and commands, and copies of the state it shows, taken under their
// locks. The windows and the headless phone use nothing else of the core.
//
// Actions block (network, Tessera); run them off the interface's own thread
// (platform::runTask). Each reports through the status line and the events
// of platform/events.h, never by throwing.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kestrel {

// --- Snapshots -------------------------------------------------------------------------

enum class PhoneCallState : int { Idle = 0, Calling, Ringing, Connected, LeavingMessage, RecordingGreeting };

struct PhoneSnapshot {
    PhoneCallState state = PhoneCallState::Idle;
    std::string statusText;
    std::string balanceLine;
    int64_t balance = -1;
    std::string handle; // own handle; empty while none
    bool connected = false;
    // The call.
    std::string peerHandle;
    std::string callId;
    std::string title;
    int64_t startTime = 0; // seconds since 1970
    int64_t satoshisSpent = 0;
};

struct PhoneSettings {
    bool answerphone = false;
    int phoneFee = 1;
    bool greetingPublished = false;
    int theme = 0;
    int notify = 0;
    int volume = 100;
    bool bsv = false;
};

PhoneSnapshot phoneSnapshot();
PhoneSettings phoneSettings();

// "Idle", "Calling", "Ringing", "Connected", "LeavingMessage", "RecordingGreeting".
const char* callStateName(PhoneCallState state);

// "1234 sats", or with the bsv setting "0.00001234 bsv" (defined with the
// chain watch, which builds the balance line with it).
std::string formatAmount(int64_t satoshis, bool bsv);

// A message's time as the lists show it: "07 Dec 2026, 09:15" in local time,
// "time not on the message" for 0 or less.
std::string messageTimeText(int64_t seconds);

// The form every comparison of handles uses: leading at signs and blanks
// dropped, cut at the next at sign, lower case.
std::string handleForm(const std::string& text);

// --- Actions ---------------------------------------------------------------------------

// Connect: the Tessera handshake, then the balance line, the idle status line
// and the connection message. Disconnect: unbinds and clears what belonged to
// the wallet ("Tessera closed.").
void connectAction();
void disconnectAction();

// The answer-phone switch: sets it, saves, and says the idle line.
void setAnswerphone(bool on);

// The price per second callers pay (1 to 100): stores it and publishes the
// phone record. False, changing nothing, outside that range.
bool setPhoneFee(int fee);

// --- Calls -------------------------------------------------------------------------------

// Call, Answer and Hang up (block: run them off the interface's thread).
void callAction(const std::string& handle);
void answerAction();
void hangUpAction();

// The price question of a call ("... Call them?"): the front end answers Yes
// (true) or No. Without one installed the answer is No.
void installQuestionHook(std::function<bool(const std::string& text)> hook);

void setMute(bool on);
bool muted();
// Puts a front end's own sentence on the status line (a run's instructions).
void showStatus(const std::string& text);

// The test line: with on, call speech heard is played back as the microphone
// about a second later, in place of the microphone's own sound.
void setEcho(bool on);
// 50, 100, 150 or 200; false, changing nothing, for any other value.
bool setVolume(int percent);

// --- Blocked handles and history ------------------------------------------------------------

// Block: "Connect Tessera first.", "Type a handle to block.", "That's you.",
// "Already blocked." or "Blocked " + handle + "."; the answer is also the status line.
std::string blockHandle(const std::string& typed);
// "Pick a handle first." when it is not blocked, else "Unblocked " + handle + ".".
std::string unblockHandle(const std::string& handle);

struct CallRow {
    int index = 0; // its position in the stored history (oldest first)
    std::string from;
    std::string to;
    int secs = 0;
    int64_t sats = 0;
    int64_t ts = 0;
    bool missed = false;
    bool hidden = false;
    std::string txid;
};
// The call history, newest first.
std::vector<CallRow> callHistory();
// The comparison form of the identity whose history is loaded; empty before one is.
std::string historyOwner();
// Flips the hide flag of stored record index and saves; false when there is none.
// hidden answers the new flag.
bool toggleCallHidden(int index, bool& hidden);

// A copy of the blocked handles, in list order.
std::vector<std::string> blockedHandles();

// --- Contacts (the wallet's list) ----------------------------------------------------------

struct ContactRow {
    std::string dest;
    std::string note;
};
// The wallet's contacts in stored order; error says why when there are none to read.
std::vector<ContactRow> contactList(std::string& error);
// Add: "Connect Tessera first.", "Type a handle to add.", "Already in contacts."
// (the same destination in any case, or the same handle), "Added " + typed +
// "." or the wallet's own error text; the answer is also the status line.
// typed is trimmed of blanks and tabs and cut to 180 characters first.
std::string addContact(const std::string& typed);
// Remove: "Removed " + dest + "." or the wallet's error; also the status line.
std::string removeContact(const std::string& dest);

// --- The answer-phone ---------------------------------------------------------------------

// A message as the lists show it: n from 1 (inbox order, or the saved
// message's number), its length in seconds, and the transaction it came in.
struct MessageRow {
    int n = 0;
    size_t audioBytes = 0; // GSM bytes of its audio
    std::string id;
    std::string from;
    int secs = 0;
    int64_t ts = 0;
    std::string txid;
};
std::vector<MessageRow> inboxMessages();
std::vector<MessageRow> savedMessages();
// Renumbers the saved messages (others' first, the own handle's after) and
// saves when a number changed.
void renumberSavedMessages();

// Message playback as the card's captions follow it.
struct PlaybackSnapshot {
    bool playing = false;
    bool paused = false;
};
PlaybackSnapshot playbackSnapshot();

// Plays inbox message n (or saved message n) through the playback queue;
// false after a status line ("That row has no message.", "Connect Tessera as
// the recipient.", "Could not open the speakers.", "Could not play that
// message.").
bool playInboxMessage(int n);
bool playSavedMessage(int n);
// Pause and resume, and stop, the message that plays.
void pauseMessage();
void stopMessage();
// Saves inbox message n ("Saved as message N."), deletes inbox message n or
// saved message n; false when there is no such message.
bool saveInbox(int n);
bool deleteInbox(int n);
bool deleteSaved(int n);

// Record Greeting (from Idle), its Stop (while recording), and playing the
// own greeting; each runs on a task.
void recordGreetingAction();
void stopGreetingAction();
void playGreetingAction();

// --- The card window's own values -----------------------------------------------------------

// Where the card of kind (1 to 11) was last left; set false while never.
struct CardPlace {
    int x = 0;
    int y = 0;
    bool set = false;
};
CardPlace cardPlacement(int kind);
// Remembers the card of kind at (x, y) (kept with the device settings; saved
// with the next save).
void storeCardPlacement(int kind, int x, int y);
// Runs the store's save of everything.
void saveEverything();

// Settings the cards cycle through; each saves at once.
void setNotifyMode(int mode);  // 0 all, 1 sound, 2 vibrate, 3 off
void setThemeIndex(int theme); // 0 to 4
// The amount display; rewrites the balance line when a balance is known and
// Tessera is connected.
void setAmountInBsv(bool bsv);
// The next connection fee after current (1, 5, 10, 25, 50, 100, then 1 again)
// and the next volume (50, 100, 150, 200, then 50).
int nextPhoneFee(int current);
int nextVolume(int current);

// The start-up entry: whether the phone starts with the session, and the
// flip of it (executablePath is what the entry starts).
bool startupRegistered();
void toggleStartup(const std::string& executablePath);

// The outputs worth offering, the caption of the output button ("Output: "
// and the chosen one) and the choice (saved).
struct OutputChoice {
    std::string id;
    std::string label;
    bool chosen = false;
};
std::vector<OutputChoice> outputChoices();
std::string outputCaption();
void chooseOutputDevice(const std::string& id);

// Pictures of people (see phone/avatars.h): the fetch of key's picture once
// per run, and its bytes once fetched (empty while none).
void wantAvatar(const std::string& key);
std::string avatarImage(const std::string& key);

} // namespace kestrel
