#include "services/paymail_resolution.h"

#include "wallet/handle_forms.h"

#include "platform/bounded_json.h"
#include "platform/config.h"
#include "platform/dns_srv.h"
#include "platform/json_fields.h"
#include "platform/service_host.h"
#include "services/paymail_claim.h"
#include "services/tessera_link.h"
#include "wallet/address.h"
#include "wallet/broadcast.h"
#include "wallet/encoding.h"
#include "wallet/wallet_file.h"
#include "wallet/wallet_state.h"
#include "wallet/web_client.h"
#include "platform/clock.h"
#include "platform/sync.h"

#include <limits>

namespace kestrel {

namespace wallet = cv_tessera_wallet;
using json = nlohmann::json;

namespace {

constexpr int kPaymailTimeoutSeconds = 12;
constexpr size_t kMaxPaymentOutputs = 20;
constexpr size_t kMaxNoteBytes = 80;

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool isValidAddress(const std::string& text)
{
    wallet::Bytes hash;
    return wallet::decode_address(text, hash);
}

void replaceAll(std::string& text, const std::string& from, const std::string& to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

// The address of a 25-byte P2PKH script given as hex; empty for any other script.
std::string p2pkhAddressOfHex(const std::string& scriptHex)
{
    wallet::Bytes hash;
    if (!wallet::p2pkh_script_hash160(wallet::hex_decode(scriptHex), hash)) return {};
    return wallet::address_from_hash160(hash);
}

// One entry of "outputs": false with the error that ends the reply.
bool readOutputEntry(const json& entry, int64_t expected, int64_t& total, PaymentOutput& output, std::string& error)
{
    if (!entry.is_object()) {
        error = kNoPaymentAddress;
        return false;
    }
    const auto sats = entry.find("satoshis");
    int64_t value = 0;
    if (sats != entry.end() && sats->is_number_unsigned()) {
        const uint64_t raw = sats->get<uint64_t>();
        value = raw > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) ? std::numeric_limits<int64_t>::max()
                                                                                 : static_cast<int64_t>(raw);
    } else if (sats != entry.end() && sats->is_number_integer()) {
        value = sats->get<int64_t>();
    }
    // Compared before adding, so that no sum can overflow.
    if (value < 1 || value > expected - total) {
        error = kDifferentAmount;
        return false;
    }
    const auto script = entry.find("script");
    output.address = script != entry.end() && script->is_string() ? p2pkhAddressOfHex(script->get<std::string>()) : "";
    if (output.address.empty()) {
        error = kNoPaymentAddress;
        return false;
    }
    output.satoshis = value;
    total += value;
    return true;
}

int64_t millisecondsSince1970()
{
    return platform::unixMillis();
}

// The basic destination request: who pays, when, how much, what for.
std::string basicDestinationBody(const std::string& senderHandle)
{
    std::string name = senderHandle.substr(0, senderHandle.find('@'));
    if (name.empty()) name = "payer";
    const json body = {{"senderName", name},
                       {"senderHandle", senderHandle.empty() ? name : senderHandle},
                       {"dt", millisecondsSince1970()},
                       {"amount", kPaymailProbeSatoshis},
                       {"purpose", "payment"}};
    return body.dump(-1, ' ', false, json::error_handler_t::replace);
}

// GET url, the body when it answers with a JSON object whose "address" is a valid address.
std::string addressFromService(const std::string& url)
{
    std::string body, error;
    if (!wallet::web_get_plain(url, body, error)) return {};
    const json answer = platform::parseBounded(body);
    if (!answer.is_object()) return {};
    const std::string address = platform::jsonText(answer, "address");
    return isValidAddress(address) ? address : std::string();
}

} // namespace

// --- Paymail parts ------------------------------------------------------------------

bool isValidPaymailAlias(std::string_view alias)
{
    if (alias.empty() || alias.size() > 64) return false;
    for (const char c : alias) {
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        const bool digit = c >= '0' && c <= '9';
        if (!letter && !digit && c != '+' && c != '-' && c != '.' && c != '_') return false;
    }
    return true;
}

bool isValidPaymailDomain(std::string_view domain)
{
    return platform::isValidHostName(domain);
}

// --- Resolution -------------------------------------------------------------------

std::string resolveRecipient(const std::string& input, const std::string& senderHandle, std::string& error)
{
    error.clear();
    const std::string text = wallet::recipient_form(input);
    if (text.empty()) {
        error = kEnterRecipient;
        return {};
    }
    const size_t at = text.find('@');
    if (at != std::string::npos) {
        const std::string alias = text.substr(0, at);
        const std::string domain = text.substr(at + 1);
        if (!isValidPaymailAlias(alias) || !isValidPaymailDomain(domain)) {
            error = kBadPaymail;
            return {};
        }
        return resolveExternalPaymail(alias, domain, senderHandle, error);
    }
    {
        platform::LockGuard lock(wallet::wallet_mutex());
        if (!wallet::load_wallet()) {
            error = kNoTesseraWallet;
            return {};
        }
    }
    return resolveServiceHandle(text, error);
}

std::string resolveServiceHandle(const std::string& input, std::string& error)
{
    error.clear();
    const std::string name = wallet::recipient_form(input);
    if (name.empty()) {
        error = kEnterRecipient;
        return {};
    }
    if (name.size() >= 26 && name[0] == '1' && isValidAddress(name)) return name;

    std::string address;
    {
        // Local state: the wallet mutex first, then the registry's own.
        platform::LockGuard lock(wallet::wallet_mutex());
        address = lookupRegistryAddress(name);
    }
    if (isValidAddress(address)) return address;

    const std::string handle = name + "@" + platform::serviceDomain();
    // A name no alias can have never goes into a URL.
    const std::string path = platform::handleAddressPath(handle);
    if (isValidPaymailAlias(name)) {
        address = addressFromService(platform::serviceDomainUrl(path));
        if (!address.empty()) return address;
        // The local instance is reached without a certificate check: only
        // when this machine is configured to run one.
        if (platform::config().local_service) {
            address = addressFromService(platform::localServiceUrl(path));
            if (!address.empty()) return address;
        }
    }
    error = "could not resolve " + handle;
    return {};
}

std::string resolveExternalPaymail(const std::string& alias, const std::string& domain, const std::string& senderHandle,
                                   std::string& error)
{
    error.clear();
    const std::string paymail = alias + "@" + domain;
    std::string host = platform::findBsvaliasHost(domain);
    if (!platform::isValidHostName(host)) host = domain;

    std::string body, transportError;
    if (!wallet::web_get_plain("https://" + host + platform::bsvaliasDiscoveryPath(), body, transportError) &&
        host != domain) {
        host = domain;
        body.clear();
        wallet::web_get_plain("https://" + domain + platform::bsvaliasDiscoveryPath(), body, transportError);
    }
    json document = platform::parseBounded(body);
    if (!document.is_object()) document = json::object();
    const auto capabilities = document.find("capabilities");
    if (capabilities == document.end() || !capabilities->is_object() || capabilities->empty()) {
        error = "could not resolve " + paymail;
        return {};
    }

    const std::string p2pUrl = capabilityUrl(*capabilities, kP2pDestinationCapability, alias, domain, host);
    const std::string basicUrl = capabilityUrl(*capabilities, kBasicDestinationCapability, alias, domain, host);
    std::string reply;
    bool answered = false;
    if (!p2pUrl.empty())
        answered = wallet::web_post_json(p2pUrl, "{\"satoshis\":" + std::to_string(kPaymailProbeSatoshis) + "}", reply,
                                         transportError, kPaymailTimeoutSeconds, 1);
    if (!answered && !basicUrl.empty()) {
        reply.clear();
        answered = wallet::web_post_json(basicUrl, basicDestinationBody(senderHandle), reply, transportError,
                                         kPaymailTimeoutSeconds, 1);
    }
    if (!answered) {
        error = "could not resolve " + paymail;
        return {};
    }

    std::vector<PaymentOutput> outputs;
    if (!parsePaymentOutputs(reply, kPaymailProbeSatoshis, outputs, error)) return {};

    const json parsed = platform::parseBounded(reply);
    const auto reference = parsed.find("reference");
    const std::string receiveUrl = capabilityUrl(*capabilities, kReceiveTransactionCapability, alias, domain, host);
    if (reference != parsed.end() && reference->is_string() && !receiveUrl.empty())
        // The wallet posts the paying transaction there once it has gone out.
        wallet::add_pending_delivery({outputs.front().address, receiveUrl, reference->get<std::string>(), senderHandle,
                                      outputs.front().satoshis});
    return outputs.front().address;
}

// --- bsvalias pieces ----------------------------------------------------------------

bool urlOnHost(const std::string& url, const std::string& host)
{
    static const std::string scheme = "https://";
    if (url.compare(0, scheme.size(), scheme) != 0) return false;
    const size_t slash = url.find('/', scheme.size());
    const std::string authority = url.substr(scheme.size(), slash == std::string::npos ? slash : slash - scheme.size());
    return authority.find('@') == std::string::npos && authority == host;
}

std::string capabilityUrl(const json& capabilities, const std::string& id, const std::string& alias,
                          const std::string& domain, const std::string& discoveryHost)
{
    if (!capabilities.is_object()) return {};
    const auto it = capabilities.find(id);
    if (it == capabilities.end() || !it->is_string()) return {};
    std::string url = it->get<std::string>();
    replaceAll(url, "{alias}", alias);
    replaceAll(url, "{domain.tld}", domain);
    return urlOnHost(url, discoveryHost) || urlOnHost(url, domain) ? url : std::string();
}

bool parsePaymentOutputs(const std::string& body, int64_t expectedSatoshis, std::vector<PaymentOutput>& outputs,
                         std::string& error)
{
    outputs.clear();
    error.clear();
    const json reply = platform::parseBounded(body);
    auto fail = [&](const char* message) {
        outputs.clear();
        error = message;
        return false;
    };
    if (!reply.is_object()) return fail(kNoPaymentAddress);

    if (const auto list = reply.find("outputs"); list != reply.end()) {
        if (!list->is_array() || list->empty()) return fail(kNoPaymentAddress);
        if (list->size() > kMaxPaymentOutputs) return fail(kTooManyOutputs);
        int64_t total = 0;
        for (const json& entry : *list) {
            PaymentOutput output;
            if (!readOutputEntry(entry, expectedSatoshis, total, output, error)) {
                outputs.clear();
                return false;
            }
            outputs.push_back(std::move(output));
        }
        if (total != expectedSatoshis) return fail(kDifferentAmount);
        return true;
    }
    if (const auto script = reply.find("output"); script != reply.end() && script->is_string()) {
        const std::string address = p2pkhAddressOfHex(script->get<std::string>());
        if (address.empty()) return fail(kNoPaymentAddress);
        outputs.push_back({address, expectedSatoshis});
        return true;
    }
    if (const auto address = reply.find("address"); address != reply.end() && address->is_string()) {
        const std::string text = address->get<std::string>();
        if (isValidAddress(text)) {
            outputs.push_back({text, expectedSatoshis});
            return true;
        }
    }
    return fail(kNoPaymentAddress);
}

// --- Wallet contacts ------------------------------------------------------------------

namespace {

// Loads the wallet for a contacts operation; false after reporting that there is none.
bool contactsWallet(std::string& error)
{
    if (wallet::load_wallet()) return true;
    error = std::string("error: ") + kNoTesseraWallet;
    emitTesseraEvent("error", error);
    return false;
}

// Saves the wallet with contacts; on failure puts the previous list back.
std::string saveContacts(std::vector<wallet::Contact> previous) REQUIRES(wallet::wallet_mutex())
{
    if (wallet::save_wallet()) return "success";
    wallet::wallet_state().contacts = std::move(previous);
    return "error: could not save the wallet.";
}

} // namespace

std::string contactNote(std::string_view note)
{
    while (!note.empty() && isBlank(note.front())) note.remove_prefix(1);
    while (!note.empty() && isBlank(note.back())) note.remove_suffix(1);
    if (note.size() > kMaxNoteBytes) {
        size_t cut = kMaxNoteBytes;
        // Back up over continuation bytes so that no character is split.
        while (cut > 0 && (static_cast<unsigned char>(note[cut]) & 0xC0) == 0x80) --cut;
        note = note.substr(0, cut);
    }
    return std::string(note);
}

std::vector<WalletContact> listWalletContacts(std::string& error)
{
    error.clear();
    platform::LockGuard lock(wallet::wallet_mutex());
    if (!contactsWallet(error)) return {};
    std::vector<WalletContact> list;
    for (const wallet::Contact& contact : wallet::wallet_state().contacts) list.push_back({contact.dest, contact.note});
    return list;
}

std::string saveWalletContact(const std::string& dest, const std::string& note)
{
    platform::LockGuard lock(wallet::wallet_mutex());
    std::string error;
    if (!contactsWallet(error)) return error;
    const std::string key = wallet::recipient_form(dest);
    if (key.empty()) return std::string("error: ") + kEnterRecipient;
    std::vector<wallet::Contact>& contacts = wallet::wallet_state().contacts;
    std::vector<wallet::Contact> previous = contacts;
    bool replaced = false;
    for (wallet::Contact& contact : contacts) {
        if (contact.dest != key) continue;
        contact.note = contactNote(note);
        replaced = true;
        break;
    }
    if (!replaced) contacts.push_back({key, contactNote(note)});
    return saveContacts(std::move(previous));
}

std::string removeWalletContact(const std::string& dest)
{
    platform::LockGuard lock(wallet::wallet_mutex());
    std::string error;
    if (!contactsWallet(error)) return error;
    const std::string key = wallet::recipient_form(dest);
    std::vector<wallet::Contact>& contacts = wallet::wallet_state().contacts;
    std::vector<wallet::Contact> previous = contacts;
    std::erase_if(contacts, [&](const wallet::Contact& contact) { return contact.dest == key; });
    if (contacts.size() == previous.size()) return "error: that contact is not in the list.";
    return saveContacts(std::move(previous));
}

} // namespace kestrel
