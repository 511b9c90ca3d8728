// The call media loop: every 40 ms it turns captured speech into "audio"
// records while a call is connected (at most two sends in flight, chunks
// sized by how long sends take, a failed chunk resent first), and drives the
// message and greeting recorders in their states.
#pragma once

#include <atomic>
#include <cstdint>
#include <stop_token>

#include "phone/phone_status.h"

namespace kestrel {

inline constexpr int kMediaStepMs = 40;
inline constexpr int64_t kInitialPaceMs = 400;

// The smoothed time one audio send takes, in milliseconds.
std::atomic<int64_t>& sendPace();

// The pace after a send that took elapsedMs: elapsed clamped to 1..4000;
// at most 1200 ms averages with the pace (never below 200), more replaces it.
int64_t nextPace(int64_t pace, int64_t elapsedMs);

// The worker body; at shutdown it collects the sends still in flight.
void mediaThread(std::stop_token stop);

// One step of the loop (the worker, and tests that drive it).
void mediaStep() EXCLUDES(stateMutex());
// Audio sends started and not yet collected.
int audioJobsInFlight();

} // namespace kestrel
