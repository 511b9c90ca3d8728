// TesseraLink: Kestrel's tie to the sibling wallet application Tessera.
//
// Everything goes through files in the Corvane data folder: the shared wallet
// registry ("/wallets.json", updated under the RegistryLock), a bind file per
// app instance ("/binds/<bindKey>.json") naming the bound wallet, and connect
// request and reply files ("/connect/<id>.req.json" and ".rep.json"). Results
// are texts: "success" or a sentence beginning "error: ".
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/sync.h"

namespace kestrel {

// --- Registration and binding -----------------------------------------------------

// Registers the app once at start-up (instance: the executable's folder),
// migrates a legacy single wallet and binds to the only wallet if there is one.
void registerApp(const std::string& instance, const std::string& appName);

// True when a wallet is bound (apps) or loads with its HD keys ready.
bool isTesseraConnected();

// The connect handshake; blocks up to about a minute on a worker thread.
std::string connectToTessera();

// Deletes this instance's bind file and unloads the wallet; always "success".
std::string disconnectFromTessera();

std::string currentWalletId();
// "<data folder>/wallets/<id>/wallet.json" while bound, else empty.
std::string currentWalletPath();
// Wipes the loaded wallet's secrets and forgets every cached wallet field.
void unloadWallet();

// The registry name of a wallet, or the id itself when it has none.
std::string walletDisplayName(const std::string& walletId);
// Renames the wallet in the registry after the wallet's paymail alias;
// writes the registry only when the name changes.
void nameWalletAfterPaymail(const std::string& walletId);

// Alphanumeric bytes lower-cased, every other byte "_", the last 96 kept;
// "default" when empty.
std::string bindKey(std::string_view instance);
// "w" followed by the milliseconds since 1970.
std::string newStampId();

// Writes a connect request; answers its id, or empty when it cannot be written.
std::string writeConnectRequest();
// "ok" (bound when the reply names a wallet), "pending" or "denied" (also
// for a reply naming a wallet id that is not is_safe_wallet_id).
std::string pollConnectReply(const std::string& requestId);

// Raises a running Tessera, else starts a "Tessera" executable found beside
// ours or in the parent folder; true when one was raised or started.
bool launchOrRaiseTessera();

// --- Registry ---------------------------------------------------------------------

// The RegistryLock: a process-wide recursive mutex plus, while held at all, a
// byte lock on "/wallets.lock" that serialises the Corvane applications.
platform::RecursiveMutex& walletRegistryMutex();
void lockRegistry() ACQUIRE(walletRegistryMutex());
void unlockRegistry() RELEASE(walletRegistryMutex());
struct SCOPED_CAPABILITY RegistryGuard {
    RegistryGuard() ACQUIRE(walletRegistryMutex()) { lockRegistry(); }
    ~RegistryGuard() RELEASE() { unlockRegistry(); }
    RegistryGuard(const RegistryGuard&) = delete;
    RegistryGuard& operator=(const RegistryGuard&) = delete;
};

// Always an object with a "wallets" array (missing, unreadable or malformed
// files load as empty). intact, when given, is false when the file exists
// with content that is not a JSON object.
nlohmann::json loadWalletRegistry(bool* intact = nullptr);
// Writes through "<registry>.tmp" and an atomic rename. False on failure, and
// when the file on disk is not intact (it is then left as it is).
bool saveWalletRegistry(const nlohmann::json& registry);

// --- Wallet events -------------------------------------------------------------------

// Emits the wallet event ("tessera", kind, fields) through platform/events.h;
// trailing empty fields are left out.
void emitTesseraEvent(const std::string& kind, const std::string& f1 = "", const std::string& f2 = "",
                      const std::string& f3 = "");

} // namespace kestrel
