#include "wallet/wallet_state.h"

#include <openssl/crypto.h>

namespace cv_tessera_wallet {

namespace {

// The binding has its own leaf mutex: the connect layer sets it under its
// registry lock, and no lock is taken while holding this one.
platform::Mutex& bindingMutex()
{
    static platform::Mutex mutex;
    return mutex;
}

std::string& boundId() REQUIRES(bindingMutex())
{
    static std::string id;
    return id;
}

} // namespace

platform::RecursiveMutex& wallet_mutex()
{
    static platform::RecursiveMutex mutex;
    return mutex;
}

WalletState& wallet_state() REQUIRES(wallet_mutex())
{
    static WalletState state;
    return state;
}

WalletView wallet_view()
{
    platform::LockGuard lock(wallet_mutex());
    const WalletState& s = wallet_state();
    WalletView v;
    v.loaded = s.loaded;
    v.keys_ready = s.keys_ready;
    v.is_hd = s.is_hd;
    v.backup = s.backup;
    v.counters = s.counters;
    v.shown = s.shown;
    v.receive_pub = s.receive_pub;
    v.receive_address = s.receive_address;
    v.identity_address = s.identity_address;
    v.identity_pub = s.identity_pub;
    v.ord_address = s.ord_address;
    v.paymail = s.paymail;
    v.ord_avatar = s.ord_avatar;
    v.ord_owned = s.ord_owned;
    v.contacts = s.contacts;
    return v;
}

void wipe_string(std::string& secret)
{
    if (!secret.empty()) OPENSSL_cleanse(secret.data(), secret.size());
    secret.clear();
}

void unload_wallet()
{
    platform::LockGuard lock(wallet_mutex());
    wipe_wallet_state(wallet_state());
}

void wipe_wallet_state(WalletState& s)
{
    wipe_string(s.phrase);
    wipe_string(s.receive_priv);
    OPENSSL_cleanse(s.seed.data(), s.seed.size());
    OPENSSL_cleanse(s.master_key.data(), s.master_key.size());
    OPENSSL_cleanse(s.master_chain.data(), s.master_chain.size());
    s = WalletState {};
}

void set_bound_wallet_id(const std::string& id)
{
    platform::LockGuard lock(bindingMutex());
    boundId() = id;
}

bool is_safe_wallet_id(std::string_view id)
{
    if (id.empty() || id.size() > 128 || id == "." || id == "..") return false;
    for (const char c : id) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                             c == '.' || c == '-';
        if (!allowed) return false;
    }
    return true;
}

std::string bound_wallet_id()
{
    platform::LockGuard lock(bindingMutex());
    return boundId();
}

} // namespace cv_tessera_wallet
