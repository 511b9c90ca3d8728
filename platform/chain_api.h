// Every path of the public chain services Kestrel asks, spelled once: the
// WhatsOnChain REST API (the configured base ending in "/v1/bsv/main"), the
// ARC broadcaster and the ordinals API. Callers add timeouts and parsing.
#pragma once

#include <string>

namespace platform {

// --- WhatsOnChain: whole URLs for the wallet's client -------------------------

std::string chainTxUrl(const std::string& txid);            // decoded transaction
std::string chainTxHexUrl(const std::string& txid);         // raw hex
std::string chainTxDecodedUrl(const std::string& txid);     // decoded, with values in satoshis
std::string chainBroadcastUrl();                            // POST {"txhex": HEX}
std::string chainUnspentAllUrl(const std::string& address); // confirmed coins, paged
std::string chainUnspentUrl(const std::string& address);    // confirmed coins, unpaged
std::string chainUnconfirmedUnspentUrl(const std::string& address);
std::string chainHistoryUrl(const std::string& address);
std::string chainUnconfirmedHistoryUrl(const std::string& address);
std::string chainBulkBalanceUrl(); // POST {"addresses": [...]}, at most 20

// --- WhatsOnChain: host and path, for the phone's requests ---------------------

std::string chainHost();
// The base's path (for example "/v1/bsv/main") followed by suffix.
std::string chainPath(const std::string& suffix);

// --- ARC and ordinals -----------------------------------------------------------------

std::string arcSubmitUrl(); // POST {"rawTx": HEX}
std::string ordinalsUnspentUrl(const std::string& address);

} // namespace platform
