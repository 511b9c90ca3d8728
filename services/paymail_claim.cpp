#include "services/paymail_claim.h"

#include "platform/config.h"
#include "wallet/wallet_state.h"

#include <mutex>

namespace kestrel {

namespace wallet = cv_tessera_wallet;

std::string normalizeAlias(std::string_view text)
{
    size_t begin = 0;
    while (begin < text.size() && (text[begin] == '@' || text[begin] == '$' || text[begin] == ' ')) ++begin;
    size_t end = text.size();
    while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\r' || text[end - 1] == '\n')) --end;
    std::string alias(text.substr(begin, end - begin));
    const size_t at = alias.find('@');
    if (at != std::string::npos) alias.resize(at);
    for (char& c : alias)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return alias;
}

std::string registryNameKey(std::string_view text)
{
    std::string key;
    for (const char c : normalizeAlias(text))
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_') key += c;
    return key;
}

void resolveOwnPaymail(bool /*announce*/)
{
    std::lock_guard<std::recursive_mutex> lock(wallet::wallet_mutex());
    wallet::WalletState& state = wallet::wallet_state();
    if (!state.keys_ready || state.identity_pub.empty()) return;
    state.paymail = normalizeAlias(state.paymail);
}

std::string ownAlias()
{
    std::lock_guard<std::recursive_mutex> lock(wallet::wallet_mutex());
    return normalizeAlias(wallet::wallet_state().paymail);
}

std::string ownPaymail()
{
    const std::string alias = ownAlias();
    return alias.empty() ? std::string() : alias + "@" + platform::config().service_domain;
}

std::string syncOwnAvatar()
{
    std::lock_guard<std::recursive_mutex> lock(wallet::wallet_mutex());
    if (wallet::wallet_state().identity_pub.empty()) return "no identity pubkey";
    return {};
}

} // namespace kestrel
