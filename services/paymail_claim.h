// The own paymail: the wallet's alias on the service domain, how it is
// normalised, and (with the local paymail registry and the signed claim) how
// the service learns which identity owns it.
#pragma once

#include <string>
#include <string_view>

namespace kestrel {

// Leading "@", "$" and blanks removed, trailing blanks, CR and LF removed,
// cut at the first "@", ASCII lower-cased.
std::string normalizeAlias(std::string_view text);

// normalizeAlias, then only a-z, 0-9, "-", "." and "_" kept.
std::string registryNameKey(std::string_view text);

// Fills the own alias from the loaded wallet while its HD keys are ready.
// With announce, a newly found alias is reported as the status event "paymail".
void resolveOwnPaymail(bool announce);

// The own alias (no domain) and paymail (alias@service domain); empty while unknown.
std::string ownAlias();
std::string ownPaymail();

// Stores the own avatar in the local paymail registry; empty text on success,
// "no identity pubkey" when the identity key is not known.
std::string syncOwnAvatar();

} // namespace kestrel
