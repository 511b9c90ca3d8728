// Profiles and avatars: the pictures of the people in the cards' person rows.
//
// A key (a bare handle) names a public profile on the service host; the
// profile's "avatar" member names an image by an https address. The image's
// bytes are kept for the rest of the run; the windows decode them (the core
// holds no picture type). Every key is fetched at most once per run, on a
// task of its own, whatever the outcome; the open card is told when a fetch
// ends (WM_PHONE_AVATAR). Nothing here blocks the caller or reports to the user.
#pragma once

#include <cstddef>
#include <string>

namespace kestrel {

// Below this size, or at this size and above, an image body is not kept.
constexpr size_t kAvatarMinBytes = 16;
constexpr size_t kAvatarMaxBytes = 2 * 1024 * 1024;

// Starts the fetch of key unless an entry for it exists (fetched, failed or
// still running). An empty key does nothing.
void requestAvatar(const std::string& key);

// The image bytes of key; empty while the key is unknown, being fetched, or
// when its fetch found no picture.
std::string lookupAvatar(const std::string& key);

// How many fetches have started this run (each key counts once).
int avatarFetchCount();

// "https://host/path" -> host and "/path". False, leaving both empty, when the
// address does not begin with "https://", has no "/" after the host, or the
// host is empty.
bool splitSecureUrl(const std::string& url, std::string& host, std::string& path);

// The fetch itself (run by requestAvatar on a task): the profile
// "/api/bsvalias/public-profile/<key>@<service domain>" from the service host,
// then its avatar when the address is https and the body is between the
// limits. Stores the outcome and posts WM_PHONE_AVATAR to the card.
void fetchAvatar(const std::string& key);

// Tests: forgets every entry (call only when no fetch runs).
void forgetAvatars();

} // namespace kestrel
