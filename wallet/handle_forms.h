// The forms of a handle. A handle is a bare name ("alice"); its paymail is the
// name, an at sign and the service domain. People type handles with "@" or
// "$" in front, in any case, with blanks around or with a domain behind, and
// each use below reads such text into the one form it needs. Every form
// takes any bytes and answers a text, empty when nothing of a name remains;
// none throws. Bytes of 0x80 and above pass unchanged unless a form says it
// drops them; lower-casing changes only A to Z.
//
// Which form for what:
//   recipient_form     typed recipients and stored contact destinations
//   signer_form        the names a signed record carries, identity look-ups
//   alias_form         the own paymail alias kept with the wallet
//   registry_key_form  names in the local paymail registry
//   bare_handle        the handle the phone shows and calls
//   comparison_form    every comparison of handles in the phone (blocked
//                      list, own handle, call rows)
//   file_id_form       the owner id that names a phone identity file
#pragma once

#include <string>
#include <string_view>

namespace cv_tessera_wallet {

// Blanks, tabs, CR and LF trimmed; every leading "@" and "$" removed and
// trimmed again; 26 or more characters starting with "1" kept as typed (an
// address candidate); else lower-cased, and cut at the first "@" when what
// follows it is exactly the service domain (another domain stays: an
// external paymail).
std::string recipient_form(std::string_view text);

// Blanks (as trim_blanks) trimmed, one leading "@" or "$" dropped, trimmed
// again, lower-cased. Nothing is cut at an "@": the signature covers the
// name as sent, and a name with "@" or a second "$" identifies no one.
std::string signer_form(std::string_view text);

// Leading "@", "$" and spaces removed, trailing spaces, CR and LF removed,
// cut at the first "@", lower-cased.
std::string alias_form(std::string_view text);

// alias_form, then only a-z, 0-9, "-", "." and "_" kept.
std::string registry_key_form(std::string_view text);

// Leading spaces and "@" removed, then one "$" and the spaces after it (a
// "$" handle names the same sender as the bare one, as signatures read it),
// cut at the next "@", trailing spaces removed. Case is kept for showing.
std::string bare_handle(std::string_view text);

// bare_handle, lower-cased.
std::string comparison_form(std::string_view text);

// comparison_form keeping only ASCII letters, digits, "-" and "_" (a dot is
// dropped too, so that the id is safe in any file name).
std::string file_id_form(std::string_view text);

} // namespace cv_tessera_wallet
