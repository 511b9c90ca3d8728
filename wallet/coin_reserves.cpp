#include "wallet/coin_reserves.h"

#include "wallet/coin_state.h"
#include "wallet/wallet_state.h"
#include "platform/bounded_json.h"
#include "platform/data_folder.h"
#include "platform/files.h"

#include <algorithm>
#include <unordered_set>

#include <nlohmann/json.hpp>

namespace cv_tessera_wallet {

using json = nlohmann::json;
using namespace coin_state;

std::string reserve_tag()
{
    std::string tag = bound_wallet_id();
    if (tag.empty()) return "none";
    for (char& c : tag) {
        const bool keep =
            (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (!keep) c = '_';
    }
    return tag;
}

bool is_reserved(const Coin& coin)
{
    const std::unordered_set<std::string> reserved = load_reserves();
    return listed_either_order(reserved, coin.txid, coin.vout, true);
}

// ---- helpers ------------------------------------------------------------------

namespace {

// Lower-case, ":" as "_": the form in which reserve entries are compared.
std::string reserve_form(std::string text)
{
    text = ascii_lower(std::move(text));
    std::replace(text.begin(), text.end(), ':', '_');
    return text;
}

void add_reserve_entry(std::unordered_set<std::string>& keys, const json& value)
{
    if (value.is_string()) {
        keys.insert(reserve_form(value.get<std::string>()));
    } else if (value.is_object()) {
        const auto t = value.find("txid");
        const auto v = value.find("vout");
        if (t != value.end() && t->is_string() && v != value.end() && v->is_number_unsigned())
            keys.insert(reserve_form(t->get<std::string>() + "_" + std::to_string(v->get<uint64_t>())));
    }
}

} // namespace

namespace coin_state {

// Every outpoint the sibling applications reserved for this wallet.
std::unordered_set<std::string> load_reserves()
{
    struct ReserveFile {
        const char* folder;
        const char* key;
        std::vector<const char*> members;
    };
    static const ReserveFile kFiles[] = {
        {"/kiosk", "reserves", {"utxo", "origin", "listing"}},
        {"/vitrine", "reserves", {"pic_utxo", "cert_utxo"}},
        {"/bourse", "holds", {"utxo", "listing", "trade", "cover"}},
    };
    std::unordered_set<std::string> keys;
    const std::string root = platform::dataFolder();
    const std::string name = "/reserves_" + reserve_tag() + ".json";
    for (const ReserveFile& file : kFiles) {
        std::string text;
        if (!platform::readFile(root + file.folder + name, text)) continue;
        const json doc = platform::parseBounded(text);
        if (!doc.is_object() || !doc.contains(file.key) || !doc[file.key].is_array()) continue;
        for (const json& entry : doc[file.key]) {
            if (!entry.is_object()) continue;
            for (const char* member : file.members)
                if (entry.contains(member)) add_reserve_entry(keys, entry[member]);
        }
    }
    return keys;
}

// True when keys hold the outpoint with the txid in either byte order;
// reserve_form_keys compares in the "txid_vout" form.
bool listed_either_order(const std::unordered_set<std::string>& keys, std::string_view txid, uint32_t vout,
                         bool reserve_form_keys)
{
    if (keys.empty()) return false;
    for (const std::string& id : {ascii_lower(std::string(txid)), reverse_txid(txid)}) {
        if (id.empty()) continue;
        const std::string key = reserve_form_keys ? id + "_" + std::to_string(vout) : outpoint_key(id, vout);
        if (keys.count(key)) return true;
    }
    return false;
}

// The picture application's offer locks; entries spent since are dropped
// from its file.
std::unordered_set<std::string> load_offer_locks(const CoinState& s)
{
    std::unordered_set<std::string> keys;
    const std::string path = platform::dataFolder() + "/vitrine/offer_locks_" + reserve_tag() + ".json";
    std::string text;
    if (!platform::readFile(path, text)) return keys;
    json doc = platform::parseBounded(text);
    if (!doc.is_object() || !doc.contains("utxos") || !doc["utxos"].is_array()) return keys;
    json kept = json::array();
    bool dropped = false;
    for (const json& entry : doc["utxos"]) {
        if (entry.is_string()) {
            const std::string key = reserve_form(entry.get<std::string>());
            const size_t cut = key.rfind('_');
            uint32_t vout = 0;
            if (cut != std::string::npos && parse_vout(std::string_view(key).substr(cut + 1), vout) &&
                spent_in(s, key.substr(0, cut), vout)) {
                dropped = true;
                continue;
            }
            keys.insert(key);
        }
        kept.push_back(entry);
    }
    if (dropped) {
        doc["utxos"] = kept;
        platform::replaceFileAtomically(path, doc.dump(2, ' ', false, json::error_handler_t::replace));
    }
    return keys;
}

} // namespace coin_state

} // namespace cv_tessera_wallet
