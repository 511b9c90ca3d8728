// The one way the core tells the program's front end what happened: status
// line changes, diagnostic log lines, wallet events and application messages.
//
// One sink is installed for the whole process: the windowed shell turns events
// into posted Qt events, the headless phone prints them as JSON lines, tests
// record them. Without a sink every event is dropped. Events are delivered on
// the emitting thread; a sink must be quick, thread-safe, and must not emit.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace platform {

enum class EventKind {
    Status,  // text: the new status line
    Log,     // text: one diagnostic line
    Wallet,  // source and text (the event's kind), with its fields
    Message, // an application message for a window: message, target, param
    Record,  // a phone record the chain watch handed on: text is its kind; fields
             // are the verified sender (empty when refused), its call id, the txid,
             // and "1" or "0" for live
    Audio,   // "sent": chunk number, bytes, send milliseconds, "1"/"0" sent;
             // "received": chunk number, bytes, txid;
             // "device": "input"/"output", device name, wall-clock ms of its first frame
};

enum class EventTarget { MainWindow, CardWindow };

struct Event {
    EventKind kind = EventKind::Log;
    std::string text;
    std::string source;              // Wallet: "tessera", "balance" or "spend"
    std::vector<std::string> fields; // Wallet: in order, trailing empty ones left out
    uint32_t message = 0;            // Message
    EventTarget target = EventTarget::MainWindow;
    intptr_t param = 0;

    bool operator==(const Event&) const = default;
};

// Answers whether the event was taken (a window message: whether the window exists).
using EventSink = std::function<bool(const Event&)>;

// Replaces the sink; an empty one drops every event from now on. Waits until
// no thread is still inside the old sink.
void installEventSink(EventSink sink);

// Hands the event to the sink; false when there is none or it declined.
bool emitEvent(const Event& event);

bool emitStatusEvent(const std::string& text);
bool emitLogLine(const std::string& line);
// Trailing empty fields are dropped, so "status" with no address equals plain "status".
bool emitWalletEvent(const std::string& source, const std::string& kind, std::vector<std::string> fields = {});
bool emitWindowMessage(EventTarget target, uint32_t message, intptr_t param = 0);

} // namespace platform
