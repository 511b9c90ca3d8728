// The own paymail: the wallet's alias on the service domain, the local
// paymail registry that the Corvane applications of this machine share, and
// the signed claim that tells the service which identity owns the alias and
// where payments to it go.
//
// The registry is "<data folder>/corvane_paymail.json": {"names": {name key:
// {"pubkey", "address"?, "ord"?, "ordAddress"?, "avatar"?}}, "avatars":
// {identity key: avatar text}, "self": own name key, "host_role"?}. Every
// operation reloads it under the registry mutex, changes it and writes it
// back whole. The wallet mutex is taken before the registry mutex, as
// platform/sync.h orders.
//
// The own alias lives in the wallet state (wallet_state().paymail); the avatar
// text of the wallet is the origin of its avatar inscription.
#pragma once

#include "wallet/wallet_state.h"

#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace kestrel {

// Exact texts of the registry and the claim.
inline constexpr const char* kNeedPaymailName = "need a paymail name (letters, numbers, _ - .)";
inline constexpr const char* kNoTesseraIdentity = "no Tessera identity pubkey";
inline constexpr const char* kRegistryNotWritten = "could not write paymail registry";
inline constexpr const char* kNoIdentityPubkey = "no identity pubkey";
inline constexpr const char* kNeedAliasAndPubkey = "need alias and pubkey";
inline constexpr const char* kClaimNotSigned = "could not sign paymail claim";
inline constexpr const char* kIdentityMismatch = "identity pubkey mismatch";
inline constexpr const char* kHostRefused = "paymail host refused";

// --- The own paymail -------------------------------------------------------------

// While the wallet's HD keys are ready and its identity key is known: takes
// the wallet's alias (or, without one, the registry's own name for the
// identity), registers it in the local registry, names the bound wallet after
// it and hands the ordinals address to the registry. An alias found in the
// registry is saved with the wallet and, with announce, reported as the
// status event "paymail". Takes the wallet mutex; nothing happens without a
// usable wallet.
void resolveOwnPaymail(bool announce);

// The own alias (no domain) and paymail (alias@service domain); empty while unknown.
std::string ownAlias();
std::string ownPaymail();

// The avatar text of an avatar inscription: its origin, else txid "_" vout,
// else empty. ownAvatarText() is that of the loaded wallet.
std::string avatarText(const cv_tessera_wallet::Inscription& avatar);
std::string ownAvatarText();

// --- The local registry ----------------------------------------------------------

// "<data folder>/corvane_paymail.json".
std::string paymailRegistryPath();

// The registry as the file holds it: an object (empty when the file is
// missing, unreadable or not a JSON object). When the data folder has no file
// but legacyPaymailRegistryPath() parses as an object, that one is answered
// and copied into the data folder.
nlohmann::json loadPaymailRegistry();

// "<program folder>/userinfo/corvane_paymail.json": where an older
// installation kept the registry. Never a path relative to the working
// directory.
std::string legacyPaymailRegistryPath();

// Tests: a folder that stands for the program's own ("" restores it).
void setLegacyRegistryFolder(const std::string& folder);

// The own name of identityKey (any case): "self" when that entry belongs to
// the key, else the alphabetically first name it owns, else empty.
std::string findOwnAlias(const std::string& identityKey);

// Registers the own alias's name key for identityKey with address (empty:
// none), carrying over the identity's "ord", "ordAddress" and "avatar", and
// makes it "self"; the file is written only when that changed it. Empty text on success, else one of kNeedPaymailName,
// kNoTesseraIdentity, "<name>@<domain> is already taken", "paymail quota
// reached (<n> free labels per identity)" or kRegistryNotWritten.
std::string registerOwnName(const std::string& identityKey, const std::string& address);

// The registered receive address of a name (normalised to its name key);
// empty when the registry has none.
std::string lookupRegistryAddress(const std::string& name);

// How many names one identity may hold under a host role; -1 for unlimited
// ("architect"), 20 for "dev", 10 for any other role.
int nameQuota(const std::string& role);

// Asks the service for the identity's host role ("/api/paymail/quota/<key>")
// and stores it with setHostRole. Needs a loaded wallet with an identity key;
// a failed request or an unparsable answer changes nothing.
void refreshHostRole();

// Stores role ("dev", "agent", "operator" or "architect", any case) as
// "host_role"; "default" and anything else remove it. Writes only on change.
void setHostRole(const std::string& role);

// The stored host role; empty for the default.
std::string hostRole();

// Stores the own avatar text for the own identity ("avatars" and every name
// the identity owns; an empty avatar removes it). Empty text on success,
// kNoIdentityPubkey without an identity key, kRegistryNotWritten.
std::string syncOwnAvatar();

// Sets "ordAddress" of every name the own identity owns to address; ignored
// unless address is a valid P2PKH address. Writes only on change.
void setOwnOrdinalsAddress(const std::string& address);

// --- The claim -------------------------------------------------------------------------

// "CV-PAYMAIL-CLAIM|alias|key|address|avatar|", then "ord|bnPub|bnAddress|"
// when both BN fields are given, else "ord|" when ord is not empty, then ts.
std::string claimMessage(const std::string& alias, const std::string& key, const std::string& address,
                         const std::string& avatar, const std::string& ord, const std::string& bnPub,
                         const std::string& bnAddress, int64_t ts);

// alias "|" address "|" ord "|" avatar "|bn1": what a claim asserts.
std::string claimFingerprint(const std::string& alias, const std::string& address, const std::string& avatar,
                             const std::string& ord);

// Sends the claim unless alias or key is empty or the same fingerprint was
// claimed successfully in this run. Answers the claim's error text; empty on
// success and when nothing was sent.
std::string ensurePaymailClaim(const std::string& alias, const std::string& key, const std::string& address,
                               const std::string& avatar, const std::string& ord);

// Signs the claim with the wallet's identity key (with the BN key when the
// wallet has one) and posts it to the service (25 s, 4 tries on 429). Empty
// text on success; else kNeedAliasAndPubkey, the signer's error,
// kClaimNotSigned, kIdentityMismatch, the service's "error" text, the
// transport error or kHostRefused.
std::string claimPaymail(const std::string& alias, const std::string& key, const std::string& address,
                         const std::string& avatar, const std::string& ord);

// Forgets the remembered fingerprint, so that the next ensurePaymailClaim
// sends again (tests).
void forgetClaimFingerprint();

} // namespace kestrel
