#include "wallet/coin_lists.h"

#include "wallet/coin_state.h"
#include "wallet/web_client.h"
#include "platform/bounded_json.h"
#include "platform/chain_api.h"

#include <charconv>

#include <nlohmann/json.hpp>

namespace cv_tessera_wallet {

using json = nlohmann::json;
using namespace coin_state;

namespace {

constexpr int kMaxPages = 40;
constexpr int kPageLimitS = 20;
constexpr size_t kOrdinalsPage = 100;
constexpr int kOrdinalsPages = 10;

} // namespace

// ---- chain lists ----------------------------------------------------------

bool parse_coin_list(std::string_view body, std::vector<Coin>& coins, std::string* next_page_token)
{
    coins.clear();
    if (next_page_token) next_page_token->clear();
    const json doc = platform::parseBounded(body);
    const json* list = nullptr;
    if (doc.is_array()) {
        list = &doc;
    } else if (doc.is_object()) {
        const auto it = doc.find("result");
        if (it != doc.end() && it->is_array()) list = &*it;
        const auto token = doc.find("nextPageToken");
        if (next_page_token && token != doc.end() && token->is_string()) *next_page_token = token->get<std::string>();
    }
    if (!list) return false;
    for (const json& item : *list) {
        if (!item.is_object()) continue;
        const auto spent = item.find("isSpentInMempoolTx");
        if (spent != item.end() && spent->is_boolean() && spent->get<bool>()) continue;
        auto txid = item.find("tx_hash");
        if (txid == item.end()) txid = item.find("txid");
        auto vout = item.find("tx_pos");
        if (vout == item.end()) vout = item.find("vout");
        const auto value = item.find("value");
        if (txid == item.end() || !txid->is_string() || !is_txid(txid->get_ref<const std::string&>())) continue;
        if (vout == item.end() || !vout->is_number_unsigned() || vout->get<uint64_t>() > 0xFFFFFFFFull) continue;
        if (value == item.end() || !value->is_number_unsigned()) continue;
        const uint64_t sats = value->get<uint64_t>();
        if (sats == 0 || sats > static_cast<uint64_t>(kMaxMoneySats)) continue;
        Coin coin;
        coin.txid = ascii_lower(txid->get<std::string>());
        coin.vout = static_cast<uint32_t>(vout->get<uint64_t>());
        coin.sats = static_cast<int64_t>(sats);
        coins.push_back(std::move(coin));
    }
    return true;
}

bool fetch_unspent_all(const std::string& address, std::vector<Coin>& coins_out, std::string& error)
{
    coins_out.clear();
    error.clear();
    const std::string base = platform::chainUnspentAllUrl(address);
    std::string token;
    for (int page = 0; page < kMaxPages; ++page) {
        const std::string url = token.empty() ? base : base + "?token=" + percent_encode(token);
        std::string body, next;
        std::vector<Coin> part;
        if (!web_get(url, body, error, kPageLimitS) || !parse_coin_list(body, part, &next))
            return fetch_unspent(address, coins_out, error);
        coins_out.insert(coins_out.end(), part.begin(), part.end());
        if (next.empty() || next == token) break;
        token = next;
    }
    return true;
}

// One unpaged coin list from the chain API.
static bool fetch_coin_list(const std::string& url, std::vector<Coin>& coins_out, std::string& error)
{
    coins_out.clear();
    error.clear();
    std::string body;
    if (!web_get(url, body, error, kPageLimitS)) return false;
    if (!parse_coin_list(body, coins_out)) {
        error = kBadUtxoList;
        return false;
    }
    return true;
}

bool fetch_unspent(const std::string& address, std::vector<Coin>& coins_out, std::string& error)
{
    return fetch_coin_list(platform::chainUnspentUrl(address), coins_out, error);
}

bool fetch_unconfirmed(const std::string& address, std::vector<Coin>& coins_out, std::string& error)
{
    return fetch_coin_list(platform::chainUnconfirmedUnspentUrl(address), coins_out, error);
}

// ---- ordinals lists -------------------------------------------------------

bool parse_ordinals_page(std::string_view body, OrdinalsList& list, size_t& count)
{
    count = 0;
    const json doc = platform::parseBounded(body);
    if (!doc.is_array()) return false;
    count = doc.size();
    for (const json& item : doc) {
        if (!item.is_object()) continue;
        std::string txid;
        int64_t vout = -1;
        if (const auto t = item.find("txid"); t != item.end() && t->is_string())
            txid = ascii_lower(t->get<std::string>());
        if (const auto v = item.find("vout"); v != item.end() && v->is_number_unsigned())
            vout = v->get<uint64_t>() <= 0xFFFFFFFFull ? static_cast<int64_t>(v->get<uint64_t>()) : -1;
        const auto outpoint = item.find("outpoint");
        if ((!is_txid(txid) || vout < 0) && outpoint != item.end() && outpoint->is_string()) {
            // "txid_vout" stands in for missing members.
            const std::string& text = outpoint->get_ref<const std::string&>();
            const size_t cut = text.find('_');
            if (cut == 64 && is_txid(text.substr(0, 64))) {
                txid = ascii_lower(text.substr(0, 64));
                uint32_t parsed = 0;
                if (parse_vout(std::string_view(text).substr(65), parsed)) vout = parsed;
            }
        }
        if (!is_txid(txid) || vout < 0) continue;
        const auto origin = item.find("origin");
        bool marked = (origin != item.end() && !origin->is_null()) || (outpoint != item.end() && !outpoint->is_null());
        if (const auto data = item.find("data"); data != item.end() && data->is_object())
            for (const char* kind : {"bsv20", "bsv21", "insc"})
                if (data->contains(kind)) marked = true;
        if (marked) {
            list.inscription_keys.push_back(outpoint_key(txid, static_cast<uint32_t>(vout)));
            continue;
        }
        int64_t sats = 0;
        for (const char* name : {"satoshis", "value"}) {
            const auto v = item.find(name);
            if (v != item.end() && v->is_number_integer()) {
                sats = v->get<int64_t>();
                break;
            }
        }
        if (sats <= 1 || !in_money_range(sats)) continue;
        Coin coin;
        coin.txid = txid;
        coin.vout = static_cast<uint32_t>(vout);
        coin.sats = sats;
        list.plain.push_back(std::move(coin));
    }
    return true;
}

bool fetch_ordinals_list(const std::string& address, OrdinalsList& list, std::string& error)
{
    list = OrdinalsList {};
    error.clear();
    const std::string base = platform::ordinalsUnspentUrl(address);
    for (int page = 0; page < kOrdinalsPages; ++page) {
        const std::string url =
            base + "?limit=" + std::to_string(kOrdinalsPage) + "&offset=" + std::to_string(page * kOrdinalsPage);
        std::string body;
        size_t count = 0;
        if (!web_get(url, body, error, kPageLimitS)) return false;
        if (!parse_ordinals_page(body, list, count)) {
            error = "bad ordinals list";
            return false;
        }
        if (count < kOrdinalsPage) {
            list.complete = true;
            break;
        }
    }
    return true;
}

// ---- helpers ------------------------------------------------------------------

namespace coin_state {

std::string key_of(const Coin& coin)
{
    return outpoint_key(coin.txid, coin.vout);
}

// The output index after "txid_": 1 to 10 decimal digits, at most 2^32 - 1.
bool parse_vout(std::string_view digits, uint32_t& vout)
{
    if (digits.empty() || digits.size() > 10) return false;
    uint64_t value = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || end != digits.data() + digits.size() || value > 0xFFFFFFFFull) return false;
    vout = static_cast<uint32_t>(value);
    return true;
}

} // namespace coin_state

} // namespace cv_tessera_wallet
