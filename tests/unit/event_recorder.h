// Records every event emitted while it lives (tests only).
#pragma once

#include "platform/events.h"

#include <mutex>
#include <vector>

struct EventRecorder {
    EventRecorder()
    {
        platform::installEventSink([this](const platform::Event& event) {
            std::lock_guard lock(mutex);
            events.push_back(event);
            return true;
        });
    }
    ~EventRecorder() { platform::installEventSink({}); }
    EventRecorder(const EventRecorder&) = delete;
    EventRecorder& operator=(const EventRecorder&) = delete;

    std::vector<platform::Event> all()
    {
        std::lock_guard lock(mutex);
        return events;
    }
    std::vector<platform::Event> ofKind(platform::EventKind kind)
    {
        std::vector<platform::Event> out;
        for (const platform::Event& e : all())
            if (e.kind == kind) out.push_back(e);
        return out;
    }

    std::mutex mutex;
    std::vector<platform::Event> events;
};

// The wallet event as the recorder keeps it.
inline platform::Event walletEvent(const std::string& source, const std::string& kind,
                                   std::vector<std::string> fields = {})
{
    platform::Event event;
    event.kind = platform::EventKind::Wallet;
    event.source = source;
    event.text = kind;
    event.fields = std::move(fields);
    return event;
}
