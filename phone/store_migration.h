// Carrying an identity's data over from the legacy phone file, which held one
// set of lists for every identity before each identity had a file of its own.
//
// Called by the store while it holds storeMutex() and the phone file's byte
// lock; these functions touch no global themselves.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "platform/files.h"

namespace kestrel {

// Legacy saved messages stay with the first identity that opens them. When the
// legacy object names no first owner yet, ownerId becomes it and the legacy
// object is written back whole through phoneFile. For any other owner, the
// messages with a legacy id are removed from target's "saved".
void migrateLegacySaved(nlohmann::json& legacy, nlohmann::json& target, const std::string& ownerId,
                        const platform::LockedFile& phoneFile);

// The first identity object of ownerId, built from the legacy phone-file
// object: its answer-phone switch, heard and tomb ids, saved messages (by
// migrateLegacySaved) and the calls ownerId took part in (all of them when
// ownerId has no comparison form); never the legacy inbox.
nlohmann::json identityFromLegacy(nlohmann::json& legacy, const std::string& ownerId,
                                  const platform::LockedFile& phoneFile);

} // namespace kestrel
