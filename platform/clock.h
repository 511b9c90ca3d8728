// The one clock of the program: wall-clock time, a monotonic tick, and
// sleeping until a tick. Every module reads time here, so that tests can move
// time instead of waiting for it.
//
// Real time by default. setMockTime() switches the whole process to a moved
// clock: wall time and the tick then stand still until advanceMockTime() moves
// both, and every sleeper whose tick has come is woken. A sleeper also wakes
// when its stop token is asked to stop.
#pragma once

#include <chrono>
#include <cstdint>
#include <stop_token>

namespace platform {

// Wall-clock seconds and milliseconds since 1970.
int64_t unixSeconds();
int64_t unixMillis();

// Monotonic milliseconds since an arbitrary start; never goes back.
int64_t tickMillis();

// Sleeps until tickMillis() >= tick. False when stop was requested first.
bool sleepUntilTick(int64_t tick, std::stop_token stop = {});

// Sleeps for ms milliseconds of this clock. False when stop was requested first.
bool sleepForMillis(int64_t ms, std::stop_token stop = {});

// Tests: freeze the clock at this wall time (milliseconds since 1970); the tick
// keeps its current value. A value of 0 or less returns to real time.
void setMockTime(int64_t unix_millis);

// Tests: move a frozen clock forward by ms and wake the sleepers that are due.
// Does nothing on the real clock.
void advanceMockTime(int64_t ms);

// True while the clock is frozen.
bool mockTimeActive();

} // namespace platform
