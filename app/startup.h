// Start-up and shutdown of the phone, shared by the windowed and the
// headless program: the order in which the libraries, the settings, the
// start-up entry, the wallet registry and the workers come up, and the
// reverse order in which they go down.
#pragma once

#include <functional>
#include <string>

namespace kestrel {

struct StartupOptions {
    std::string instance;       // the folder registered with the wallet registry (the executable's)
    std::string executablePath; // what the start-up entry starts
    // Run once the phone is claimed and its settings loaded, before any
    // worker starts (where a front end installs its event sink).
    std::function<void()> beforeWorkers;
};

enum class StartResult {
    Started,
    AnotherInstance, // a phone already runs on this data folder; it was asked to come forward
    Failed,
};

// Everything up to the running workers. On AnotherInstance nothing was
// touched: the store is neither read nor written.
StartResult startPhone(const StartupOptions& options);

// The announcing socket of this phone (raise requests arrive there); -1
// before start-up.
int announceSocket();

// Clears the running flag, stops and joins every worker and task, saves the
// store and flushes the background files. Safe to call twice.
void stopPhone();

} // namespace kestrel
