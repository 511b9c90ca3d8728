// Every call Kestrel makes to the service host and to the maker's download
// site, spelled once. Hosts come from the configuration; callers add
// timeouts, back-offs and parsing. The phone's requests take a host and a
// path (webGet), the wallet's a whole URL.
//
// It sits below the wallet because the wallet's broadcast submits to the
// service host too.
#pragma once

#include <string>

namespace platform {

// --- Service host -----------------------------------------------------------------

std::string serviceHost();
std::string serviceDomain();

// "https://" + service host + path, and "https://" + service domain + path.
std::string serviceHostUrl(const std::string& path);
std::string serviceDomainUrl(const std::string& path);
// A service instance on this machine, tried after the public one.
std::string localServiceUrl(const std::string& path);

// Oracle: txids of transactions paying address, newest first (limit 20 for
// calls, 8 for greetings).
std::string oracleTxidsPath(const std::string& address, int limit);
// A decoded transaction in the chain API's shape.
std::string decodedTxPath(const std::string& txid);
// POST {"txhex": HEX}.
std::string submitPath();
// alias@domain → {"address"}.
std::string handleAddressPath(const std::string& paymail);
// alias@domain → {"pubkey", "phoneFee", "greetAddress"}.
std::string identityDocumentPath(const std::string& paymail);
// key@domain → {"avatar"}.
std::string publicProfilePath(const std::string& keyAtDomain);
// POST the signed phone record.
std::string phoneRecordPath();
// POST the signed paymail claim.
std::string claimPath();
// identity key → {"role"}.
std::string quotaPath(const std::string& identityKey);

// --- Paymail hosts ---------------------------------------------------------------

// A paymail domain's capability document, on its discovery host.
std::string bsvaliasDiscoveryPath();

// --- Download site ------------------------------------------------------------------

// The download site's host name (its configured base URL without the scheme).
std::string downloadHost();
std::string downloadUrl(const std::string& path);
std::string downloadPagePath(); // an HTML page naming the latest version
std::string rateFilePath();     // {"ok": true, "gbp": N}

} // namespace platform
