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

// --- The answer-phone ---------------------------------------------------------------------

// A message as the lists show it: n from 1 (inbox order, or the saved
// message's number), its length in seconds, and the transaction it came in.
struct MessageRow {
    int n = 0;
    std::string id;
    std::string from;
    int secs = 0;
    int64_t ts = 0;
    std::string txid;
};
std::vector<MessageRow> inboxMessages();
std::vector<MessageRow> savedMessages();

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

} // namespace kestrel
