#include "phone/store_migration.h"

#include "phone/phone_store.h"
#include "phone/store_format.h"
#include "wallet/handle_forms.h"

#include <algorithm>
#include <vector>

namespace kestrel {

namespace wallet = cv_tessera_wallet;

using json = nlohmann::json;

void migrateLegacySaved(json& legacy, json& target, const std::string& ownerId, const platform::LockedFile& phoneFile)
{
    const auto saved = legacy.find("saved");
    if (saved == legacy.end() || !saved->is_array() || saved->empty()) return;

    std::vector<std::string> ids;
    for (const json& e : *saved) {
        std::string id;
        if (e.is_object() && readString(e, "id", id) == Field::Ok && !id.empty()) ids.push_back(id);
    }

    std::string owner;
    readString(legacy, "legacy_saved_owner", owner);
    if (owner.empty()) {
        legacy["legacy_saved_owner"] = ownerId;
        writeStoreFile(phoneFile, legacy);
        owner = ownerId;
    }
    if (owner == ownerId) return;

    const auto targetSaved = target.find("saved");
    if (targetSaved == target.end() || !targetSaved->is_array()) return;
    json kept = json::array();
    for (const json& e : *targetSaved) {
        std::string id;
        if (e.is_object()) readString(e, "id", id);
        if (id.empty() || std::find(ids.begin(), ids.end(), id) == ids.end()) kept.push_back(e);
    }
    *targetSaved = std::move(kept);
}

static std::string stringOrEmpty(const json& object, const char* key)
{
    std::string value;
    if (object.is_object()) readString(object, key, value);
    return value;
}

json identityFromLegacy(json& legacy, const std::string& ownerId, const platform::LockedFile& phoneFile)
{
    json fresh = json::object();
    bool answerphone = false;
    readBool(legacy, "answerphone", answerphone);
    fresh["answerphone"] = answerphone;
    fresh["heard"] = arrayOrEmpty(legacy, "heard");
    fresh["tomb"] = arrayOrEmpty(legacy, "tomb");
    fresh["saved"] = arrayOrEmpty(legacy, "saved");
    migrateLegacySaved(legacy, fresh, ownerId, phoneFile);
    fresh["inbox"] = json::array();

    const std::string ownerForm = wallet::comparison_form(ownerId);
    json calls = json::array();
    for (const json& call : arrayOrEmpty(legacy, "calls")) {
        if (!call.is_object()) continue;
        if (ownerForm.empty() || ownerForm == wallet::comparison_form(stringOrEmpty(call, "from")) ||
            ownerForm == wallet::comparison_form(stringOrEmpty(call, "to")))
            calls.push_back(call);
    }
    fresh["calls"] = std::move(calls);
    return fresh;
}

} // namespace kestrel
