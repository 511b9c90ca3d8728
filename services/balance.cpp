#include "services/balance.h"

#include "platform/bounded_json.h"
#include "platform/chain_api.h"
#include "platform/config.h"
#include "platform/data_folder.h"
#include "platform/events.h"
#include "platform/file_writer.h"
#include "platform/files.h"
#include "platform/json_fields.h"
#include "platform/service_host.h"
#include "services/paymail_claim.h"
#include "services/tessera_link.h"
#include "wallet/coins.h"
#include "wallet/keys.h"
#include "wallet/spend_hooks.h"
#include "wallet/wallet_file.h"
#include "wallet/wallet_state.h"
#include "wallet/web_client.h"
#include "platform/clock.h"
#include "platform/sync.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>

#include <nlohmann/json.hpp>
#include <unistd.h>

namespace kestrel {

namespace wallet = cv_tessera_wallet;
using json = nlohmann::json;

namespace {

// A spend's expected face is believed this long.
constexpr int64_t kSpendMemoryMs = 45'000;
// After a spend, a fresh balance this far below the expected face is still
// shown; further below, it is taken for a chain service's error.
constexpr int64_t kSpendTolerance = 8000;
// Within kSpendMemoryMs, a plain refresh may rise this far above the expected
// face before the rise is believed.
constexpr int64_t kLagTolerance = 1000000;
constexpr uint32_t kScanAhead = 400;
constexpr uint64_t kLastNormalIndex = 0x7FFFFFFF; // higher indexes would be hardened
constexpr size_t kScanBatch = 20;
constexpr int kBalanceTimeoutSeconds = 20;
constexpr int kBalanceAttempts = 4;

// The face, under the wallet mutex. It belongs to the receive address it
// was computed for; another address starts afresh.
struct FaceState {
    int64_t face = -1;
    int64_t expected = -1;
    int64_t lastSpendTick = 0; // platform::tickMillis() of the last spend, while expected >= 0
    std::string address;
};
FaceState& faceState() REQUIRES(wallet::wallet_mutex())
{
    static FaceState state;
    return state;
}

platform::Mutex scanMutex;

FaceState& faceOfLoadedWallet() REQUIRES(wallet::wallet_mutex());
int64_t faceFromBalanceLocked(int64_t balance) REQUIRES(wallet::wallet_mutex());
void writeFaceLocked() REQUIRES(wallet::wallet_mutex());
int64_t roundedAmount(const json& value);

} // namespace

void refreshWalletStatus(WalletStatus& status, bool skipScan)
{
    status = WalletStatus {};
    if (!skipScan) scanReceiveAddresses();

    std::string alias, key, address, avatar, ord;
    {
        platform::LockGuard lock(wallet::wallet_mutex());
        if (!wallet::load_wallet()) {
            emitTesseraEvent("status");
            return;
        }
        wallet::refresh_wallet();
        resolveOwnPaymail(true);
        if (!wallet::wallet_state().identity_pub.empty()) syncOwnAvatar();
    }

    // The coin scan releases the wallet mutex around its requests itself.
    wallet::SpendCoins coins;
    std::string error;
    const bool scanned = wallet::gather_spend_coins(coins, error);

    {
        platform::LockGuard lock(wallet::wallet_mutex());
        const wallet::WalletState& state = wallet::wallet_state();
        status.loaded = state.loaded;
        status.hdReady = state.keys_ready;
        status.coinsAnswered = scanned && coins.any_answered;
        status.coinsFailed = !scanned;
        status.receiveAddress = state.receive_address;
        status.mode = state.keys_ready ? "hd" : "legacy";
        status.balance = state.loaded ? faceFromBalanceLocked(wallet::local_balance()) : -1;
        alias = ownAlias();
        key = state.identity_pub;
        address = state.receive_address;
        avatar = avatarText(state.ord_avatar);
        ord = state.ord_address;
    }

    const bool shown = status.coinsAnswered && !status.coinsFailed && status.balance >= 0;
    emitTesseraEvent("status", status.receiveAddress, shown ? std::to_string(status.balance) : "-", status.mode);
    if (alias.empty()) return;
    emitTesseraEvent("paymail", alias + "@" + platform::serviceDomain());
    ensurePaymailClaim(alias, key, address, avatar, ord);
    refreshHostRole();
}

int64_t refreshFace()
{
    platform::LockGuard lock(wallet::wallet_mutex());
    if (!wallet::load_wallet()) return -1;
    wallet::refresh_wallet();
    return faceFromBalanceLocked(wallet::local_balance());
}

void noteSpend(int64_t spent)
{
    // A command-line run shows no face.
    if (::isatty(STDOUT_FILENO)) return;
    platform::LockGuard lock(wallet::wallet_mutex());
    const int64_t face = adjustFace(wallet::local_balance(), spent);
    platform::emitWalletEvent("balance", "face", {std::to_string(face), wallet::bound_wallet_id()});
}

int64_t adjustFace(int64_t balance, int64_t spent)
{
    platform::LockGuard lock(wallet::wallet_mutex());
    if (balance < 0) return balance;
    FaceState& s = faceOfLoadedWallet();
    int64_t shown = balance;
    if (s.face >= 0) {
        if (spent >= 1) {
            s.expected = std::max<int64_t>(s.face - spent, 0);
            s.lastSpendTick = platform::tickMillis();
            // A figure above the expected one still holds the spent coins.
            if (balance < s.expected - kSpendTolerance || balance > s.expected) shown = s.expected;
        } else if (s.expected >= 0 && platform::tickMillis() - s.lastSpendTick < kSpendMemoryMs &&
                   balance > s.expected + kLagTolerance) {
            shown = s.expected;
        }
    }
    s.face = shown;
    writeFaceLocked();
    return shown;
}

int64_t currentFace()
{
    platform::LockGuard lock(wallet::wallet_mutex());
    return faceOfLoadedWallet().face;
}

int64_t expectedFace()
{
    platform::LockGuard lock(wallet::wallet_mutex());
    return faceOfLoadedWallet().expected;
}

void resetFace()
{
    platform::LockGuard lock(wallet::wallet_mutex());
    faceState() = FaceState {};
}

std::string faceFilePath()
{
    platform::LockGuard lock(wallet::wallet_mutex());
    if (!wallet::wallet_state().loaded) return {};
    return platform::dataFolder() + "/tx_hist/" + wallet::coin_file_tag() + "_face.json";
}

int64_t readFaceFile(const std::string& receiveAddress)
{
    const std::string path = faceFilePath();
    std::string text;
    if (path.empty() || receiveAddress.empty() || !platform::readFile(path, text)) return -1;
    const json face = platform::parseBounded(text);
    if (!face.is_object()) return -1;
    const auto sats = face.find("sats");
    if (platform::jsonText(face, "address") != receiveAddress) return -1;
    if (sats == face.end() || !sats->is_number_integer()) return -1;
    const int64_t value = sats->get<int64_t>();
    return value >= 0 ? value : -1;
}

// --- Receive-address discovery -------------------------------------------------------

void scanReceiveAddresses()
{
    platform::LockGuard scanLock(scanMutex);
    uint64_t base = 0;
    uint64_t start = 0;
    uint64_t end = 0;
    std::string walletTag;
    {
        platform::LockGuard lock(wallet::wallet_mutex());
        if (!wallet::load_wallet()) return;
        const wallet::WalletState& state = wallet::wallet_state();
        if (!state.keys_ready || !state.is_hd) return;
        base = state.counters[wallet::kReceiveAccount];
        start = std::max<uint64_t>(state.next_receive_scan, base + 1);
        end = std::min<uint64_t>({base + kScanAhead, kLastNormalIndex, wallet::kMaxAddressIndex});
        walletTag = wallet::coin_file_tag();
    }

    // Addresses are derived a batch at a time, so that the wallet mutex is
    // never held for long.
    int64_t highest = -1;
    uint64_t next = start;
    bool derivable = true;
    while (next <= end && derivable) {
        std::vector<IndexedAddress> batch;
        {
            platform::LockGuard lock(wallet::wallet_mutex());
            if (!wallet::wallet_state().loaded || wallet::coin_file_tag() != walletTag) return;
            for (uint64_t i = next; i <= end && batch.size() < kScanBatch; ++i) {
                const uint32_t index = static_cast<uint32_t>(i);
                std::string priv, pub, address;
                derivable = wallet::derive(wallet::wallet_path(wallet::kReceiveAccount, index), priv, pub, address);
                wallet::wipe_string(priv);
                if (!derivable) break;
                batch.push_back({index, address});
            }
        }
        int64_t batchHighest = -1;
        if (batch.empty() || !bulkAddressBalances(batch, batchHighest)) break;
        highest = std::max(highest, batchHighest);
        next = uint64_t {batch.back().index} + 1;
    }

    platform::LockGuard lock(wallet::wallet_mutex());
    wallet::WalletState& state = wallet::wallet_state();
    // Another wallet may have been connected meanwhile.
    if (!state.loaded || wallet::coin_file_tag() != walletTag) return;
    if (next > start) state.next_receive_scan = static_cast<uint32_t>(std::min<uint64_t>(next, kLastNormalIndex + 1));
    if (highest > static_cast<int64_t>(base) && state.counters[wallet::kReceiveAccount] < highest) {
        state.counters[wallet::kReceiveAccount] = static_cast<uint32_t>(highest);
        wallet::save_wallet();
    }
}

bool bulkAddressBalances(const std::vector<IndexedAddress>& addresses, int64_t& highest)
{
    highest = -1;
    if (addresses.empty()) return true;
    json body = {{"addresses", json::array()}};
    for (const IndexedAddress& a : addresses) body["addresses"].push_back(a.address);
    std::string reply;
    std::string error;
    if (!wallet::web_post_json(platform::chainBulkBalanceUrl(), body.dump(), reply, error, kBalanceTimeoutSeconds,
                               kBalanceAttempts))
        return false;
    return readBulkBalances(reply, addresses, highest);
}

bool readBulkBalances(const std::string& body, const std::vector<IndexedAddress>& addresses, int64_t& highest)
{
    highest = -1;
    const json reply = platform::parseBounded(body);
    if (!reply.is_array() && !reply.is_object()) return false;
    for (const json& entry : reply) {
        if (!entry.is_object()) continue;
        const auto address = entry.find("address");
        if (address == entry.end() || !address->is_string()) continue;
        const auto nested = entry.find("balance");
        const json& amounts = nested != entry.end() ? *nested : entry;
        if (!amounts.is_object()) continue;
        const int64_t confirmed = roundedAmount(amounts.value("confirmed", json()));
        const int64_t unconfirmed = roundedAmount(amounts.value("unconfirmed", json()));
        if (confirmed <= 0 && unconfirmed < 1) continue;
        for (const IndexedAddress& a : addresses)
            if (a.address == address->get<std::string>()) highest = std::max<int64_t>(highest, a.index);
    }
    return true;
}

void installBalanceHooks()
{
    wallet::set_spend_observer(&noteSpend);
}

// --- The face file --------------------------------------------------------------------

void flushFaceFile()
{
    platform::flushFileWrites();
}

namespace {

// The face state of the loaded wallet's receive address. Call with the
// wallet mutex held.
FaceState& faceOfLoadedWallet() REQUIRES(wallet::wallet_mutex())
{
    FaceState& s = faceState();
    const std::string& address = wallet::wallet_state().receive_address;
    if (s.address != address) {
        s = FaceState {};
        s.address = address;
    }
    return s;
}

// A live balance goes through the face rules; without one the face stands,
// or, before there is one, the face file's. Call with the wallet mutex held.
int64_t faceFromBalanceLocked(int64_t balance) REQUIRES(wallet::wallet_mutex())
{
    if (balance >= 0) return adjustFace(balance, 0);
    FaceState& s = faceOfLoadedWallet();
    if (s.face < 0) s.face = readFaceFile(s.address);
    return s.face;
}

void writeFaceLocked() REQUIRES(wallet::wallet_mutex())
{
    const FaceState& s = faceOfLoadedWallet();
    if (s.face < 0 || s.address.empty()) return;
    const std::string path = faceFilePath();
    if (path.empty()) return;
    // Behind the caller's back: spends report here while they hold the wallet
    // mutex, and a flushed write costs a disk round trip.
    platform::writeFileLater(path, json {{"address", s.address}, {"sats", s.face}}.dump());
}

// Whole satoshis of a JSON amount: integers as they are, fractions rounded
// half away from zero; anything else 0.
int64_t roundedAmount(const json& value)
{
    if (value.is_number_integer()) return value.get<int64_t>();
    if (value.is_number_float()) {
        const double amount = value.get<double>();
        if (!std::isfinite(amount) || std::fabs(amount) > 9.0e18) return 0;
        return static_cast<int64_t>(std::llround(amount));
    }
    return 0;
}

} // namespace

} // namespace kestrel
