#include "platform/events.h"

#include "platform/sync.h"

namespace platform {
namespace {

// Readers share the lock while they run the sink, so installing a new one
// waits for every delivery in progress to end.
SharedMutex& sinkMutex()
{
    static SharedMutex mutex;
    return mutex;
}

EventSink& installedSink()
{
    static EventSink sink;
    return sink;
}

} // namespace

void installEventSink(EventSink sink)
{
    LockGuard lock(sinkMutex());
    installedSink() = std::move(sink);
}

bool emitEvent(const Event& event)
{
    SharedLockGuard lock(sinkMutex());
    const EventSink& sink = installedSink();
    return sink ? sink(event) : false;
}

bool emitStatusEvent(const std::string& text)
{
    Event event;
    event.kind = EventKind::Status;
    event.text = text;
    return emitEvent(event);
}

bool emitLogLine(const std::string& line)
{
    Event event;
    event.kind = EventKind::Log;
    event.text = line;
    return emitEvent(event);
}

bool emitWalletEvent(const std::string& source, const std::string& kind, std::vector<std::string> fields)
{
    while (!fields.empty() && fields.back().empty()) fields.pop_back();
    Event event;
    event.kind = EventKind::Wallet;
    event.source = source;
    event.text = kind;
    event.fields = std::move(fields);
    return emitEvent(event);
}

bool emitWindowMessage(EventTarget target, uint32_t message, intptr_t param)
{
    Event event;
    event.kind = EventKind::Message;
    event.message = message;
    event.target = target;
    event.param = param;
    return emitEvent(event);
}

} // namespace platform
