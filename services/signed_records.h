// Signed records: the canonical "CV1|" text a record's identity signature
// covers, signing a phone record with the wallet's identity key, and deciding
// whether a received record is trusted (its signature holds, and its key is
// the one the service publishes for its sender).
//
// Phone records have protocol "CV-Phone" and type "cp". Field reading rules:
// a text member counts only when it is a string (else empty; of two names
// the first string wins); an integer member is an integer as is, a float
// truncated toward zero, a string of decimal digits (optional "-") parsed,
// anything else 0. Nothing here throws.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

namespace kestrel {

// The protocol and type of the phone's own records, the only ones trusted.
inline constexpr const char* kPhoneProtocol = "CV-Phone";
inline constexpr const char* kPhoneType = "cp";

// "CV1|" type "|" channel "|" handle "|" actor "|" ts "|" content, where
// channel is "channel" or else "location", trimmed and lower-cased; handle and
// actor are trimmed, one "@" or "$" dropped, lower-cased; content for type
// "cp" is kind|id|n|codec|mark|secs|hex SHA-256 of "audio", empty otherwise.
std::string canonicalRecordText(const nlohmann::json& record);

// Signs a phone record in place: sets "actor" (and "paymail" when known) from
// the own alias, "ts" when it is not a number, then "pubkey" and "sig", and
// checks the result with verifyRecord. False with error: "Connect Tessera"
// (no own alias), identitySign's texts, or "identity signature did not verify
// against <service domain> PKI".
bool signRecord(nlohmann::json& record, std::string& error);

// True when record is a phone record whose signature holds
// (verifyRecordSignature) and whose key is the identity key the service
// publishes for its "actor" (keyMatchesIdentity, one cached lookup).
bool verifyRecord(const nlohmann::json& record);

// The sender's handle as verification proved it, in the one form everything
// that acts on a received record uses (blocking, the own-handle check, call
// and message rows): the actor as signer_form gives it (blanks, one "@"
// or "$" and case dropped), which is also its own comparison_form. Empty when
// verifyRecord fails or that name still starts with "$" or holds an "@".
// The record's "handle" and "actor" texts themselves are never to be used.
std::string verifiedSender(const nlohmann::json& record);

// The checks of verifyRecord that need no service: a JSON object with
// protocol "CV-Phone" and type "cp", a channel, handle, actor, key and
// signature present, actor equal to handle once normalised, ts > 0, and the
// signature valid over the canonical text with the record's key.
bool verifyRecordSignature(const nlohmann::json& record);

// The field reading rules, for callers that read the same records.
std::string recordText(const nlohmann::json& record, const char* name, const char* otherName = nullptr);
int64_t recordInteger(const nlohmann::json& record, const char* name);

} // namespace kestrel
