// Paymail resolution: turning what the user typed (a bare handle on the
// service domain, a paymail on any other domain, or a legacy 1-address) into
// a P2PKH payment address, and the wallet's small contacts list.
//
// Handles are answered by the local paymail registry or the service's
// address API; other paymails by bsvalias (SRV discovery, the well-known
// capability document, then the P2P or the basic payment destination). The
// wallet mutex is held only for local work, never across a request, so
// callers must not hold it. Failures are an empty address with a sentence in
// error; nothing here throws.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace kestrel {

// bsvalias capability ids.
inline constexpr const char* kP2pDestinationCapability = "2a40af698840";
inline constexpr const char* kBasicDestinationCapability = "paymentDestination";
inline constexpr const char* kReceiveTransactionCapability = "5f1323cddf31";

// Every paymail host is asked for this amount.
inline constexpr int64_t kPaymailProbeSatoshis = 1;

// Messages the caller shows unchanged.
inline constexpr const char* kEnterRecipient = "enter a handle, paymail, or 1-address.";
inline constexpr const char* kBadPaymail = "could not resolve that paymail";
inline constexpr const char* kNoTesseraWallet = "no Tessera wallet. Create first.";
inline constexpr const char* kNoPaymentAddress = "that paymail host did not return a payment address";
inline constexpr const char* kTooManyOutputs = "that paymail host asked for too many outputs";
inline constexpr const char* kDifferentAmount = "that paymail host returned a different amount";

// --- Paymail parts ------------------------------------------------------------------

// Paymail parts accepted for domains other than the service's: an alias of 1
// to 64 ASCII letters, digits, "+", "-", ".", "_"; a domain that is a valid
// host name (platform::isValidHostName).
bool isValidPaymailAlias(std::string_view alias);
bool isValidPaymailDomain(std::string_view domain);

// --- Resolution -------------------------------------------------------------------

// The single entry point: a handle, paymail or address to an address.
// senderHandle is the own paymail (empty when unknown), told to paymail
// hosts. Errors: kEnterRecipient, kBadPaymail, kNoTesseraWallet (a handle needs a
// loaded wallet), "could not resolve " + handle or paymail, the paymail
// host's texts below.
std::string resolveRecipient(const std::string& input, const std::string& senderHandle, std::string& error);

// A handle on the service domain or a legacy address: a valid address as
// typed, else the local registry's address for the name, else the service's
// address API, then, when the configuration enables one (local_service), a
// service instance on this machine (only for names in paymail alias syntax). Errors: kEnterRecipient, "could not
// resolve " + name + "@" + service domain.
std::string resolveServiceHandle(const std::string& input, std::string& error);

// alias@domain through bsvalias, asking for 1 satoshi. A P2P destination
// that names a reference, on a host that takes transactions back, leaves a
// pending delivery with the wallet so that the paying transaction is posted
// there. Errors: "could not resolve " + alias@domain, and those of
// parsePaymentOutputs.
std::string resolveExternalPaymail(const std::string& alias, const std::string& domain, const std::string& senderHandle,
                                   std::string& error);

// --- bsvalias pieces ----------------------------------------------------------------

// True when url is "https://" + host, optionally followed by a path starting
// with "/": no other host, no port, no userinfo.
bool urlOnHost(const std::string& url, const std::string& host);

// The capability id's URL template with "{alias}" and "{domain.tld}" filled
// in; empty when the member is missing or not a string, or when the URL is
// on neither the discovery host nor the domain itself.
std::string capabilityUrl(const nlohmann::json& capabilities, const std::string& id, const std::string& alias,
                          const std::string& domain, const std::string& discoveryHost);

struct PaymentOutput {
    std::string address;
    int64_t satoshis = 0;
};

// A payment destination reply ("outputs" of P2PKH scripts, or one "output"
// script, or an "address") for exactly expectedSatoshis in all. False with
// kNoPaymentAddress, kTooManyOutputs (more than 20) or kDifferentAmount;
// outputs is then empty.
bool parsePaymentOutputs(const std::string& body, int64_t expectedSatoshis, std::vector<PaymentOutput>& outputs,
                         std::string& error);

// --- Wallet contacts ------------------------------------------------------------------

struct WalletContact {
    std::string dest; // recipient_form (wallet/handle_forms.h), unique in the list
    std::string note; // trimmed, at most 80 bytes
};

// Each needs a wallet that loads; otherwise "error: no Tessera wallet. Create
// first." (also emitted as the status event "error").

// The contacts in stored order; error empty on success.
std::vector<WalletContact> listWalletContacts(std::string& error);

// Adds dest with note, or replaces the note of the entry with that dest, and
// saves the wallet. "success", "error: enter a handle, paymail, or
// 1-address." for an empty dest, or "error: could not save the wallet.".
std::string saveWalletContact(const std::string& dest, const std::string& note);

// Removes every entry with that dest and saves. "success", or "error: that
// contact is not in the list.", or the texts above.
std::string removeWalletContact(const std::string& dest);

// A note as stored: blanks, tabs, CR and LF trimmed, cut to its first 80
// bytes (never inside a UTF-8 character).
std::string contactNote(std::string_view note);

} // namespace kestrel
