// What the user interface may do and read: the actions behind the phone's
// buttons and commands, and copies of the state it shows, taken under their
// locks. The windows and the headless phone use nothing else of the core.
//
// Actions block (network, Tessera); run them off the interface's own thread
// (platform::runTask). Each reports through the status line and the events
// of platform/events.h, never by throwing.
#pragma once

#include <cstdint>
#include <string>

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

} // namespace kestrel
