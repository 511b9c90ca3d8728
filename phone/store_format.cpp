#include "phone/store_format.h"

#include "phone/text.h"
#include "wallet/handle_forms.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kestrel {

namespace wallet = cv_tessera_wallet;

using json = nlohmann::json;

// Any JSON number, saturated to the range of T (fractions cut toward zero).
template <typename T> static Field readNumber(const json& object, const char* key, T& out)
{
    const auto it = object.find(key);
    if (it == object.end()) return Field::Missing;
    constexpr T low = std::numeric_limits<T>::min();
    constexpr T high = std::numeric_limits<T>::max();
    if (it->is_number_unsigned()) {
        const uint64_t v = it->get<uint64_t>();
        out = v > static_cast<uint64_t>(high) ? high : static_cast<T>(v);
    } else if (it->is_number_integer()) {
        const int64_t v = it->get<int64_t>();
        out = v < static_cast<int64_t>(low) ? low : v > static_cast<int64_t>(high) ? high : static_cast<T>(v);
    } else if (it->is_number_float()) {
        const double v = std::trunc(it->get<double>());
        out = v <= static_cast<double>(low) ? low : v >= static_cast<double>(high) ? high : static_cast<T>(v);
    } else {
        return Field::WrongType;
    }
    return Field::Ok;
}

static int32_t quantiseVolume(int32_t value)
{
    if (value < 75) return 50;
    if (value < 125) return 100;
    if (value < 175) return 150;
    return 200;
}

// --- Device settings ----------------------------------------------------------

DeviceSettings deviceSettingsFromJson(const json& object, DeviceSettings current, bool withAdmin, bool stopOnWrongType)
{
    auto wrong = [&](Field f) { return f == Field::WrongType && stopOnWrongType; };

    if (withAdmin) {
        bool admin = false;
        if (wrong(readBool(object, "admin", admin))) return current;
        current.admin = admin;
    }
    int32_t theme = 0;
    Field f = readNumber(object, "theme", theme);
    if (wrong(f)) return current;
    if (f == Field::Ok) current.theme = (theme >= 0 && theme <= 4) ? theme : 0;

    int32_t notify = 0;
    f = readNumber(object, "notify", notify);
    if (wrong(f)) return current;
    if (f == Field::Ok) current.notify = (notify >= 0 && notify <= 3) ? notify : 0;

    int32_t volume = 100;
    f = readNumber(object, "volume", volume);
    if (wrong(f)) return current;
    if (f == Field::Ok) current.volume = quantiseVolume(volume);

    bool bsv = false;
    f = readBool(object, "bsv", bsv);
    if (wrong(f)) return current;
    if (f == Field::Ok) current.bsv = bsv;

    std::string output;
    if (readString(object, "output", output) == Field::Ok) current.output = utf8ToWide(output);

    if (object.contains("main_x") && object.contains("main_y")) {
        int32_t x = 0, y = 0;
        const Field fx = readNumber(object, "main_x", x);
        const Field fy = readNumber(object, "main_y", y);
        if (fx == Field::Ok && fy == Field::Ok) {
            current.mainX = x;
            current.mainY = y;
            current.mainSet = true;
        } else if (stopOnWrongType) {
            return current;
        }
    }

    const auto boxes = object.find("boxes");
    if (boxes != object.end() && boxes->is_array()) {
        for (auto& entry : current.boxes) entry = CardPlacement {};
        for (const auto& element : *boxes) {
            if (!element.is_object()) continue;
            int32_t k = 0, x = 0, y = 0;
            if (readNumber(element, "k", k) == Field::WrongType || readNumber(element, "x", x) == Field::WrongType ||
                readNumber(element, "y", y) == Field::WrongType) {
                if (stopOnWrongType) return current;
                continue;
            }
            if (k >= 1 && k <= kCardKinds) current.boxes[static_cast<size_t>(k)] = CardPlacement {x, y, true};
        }
    }
    return current;
}

json deviceSettingsJson(const DeviceSettings& settings, bool withAdmin)
{
    json object = json::object();
    if (withAdmin) object["admin"] = settings.admin.load();
    object["theme"] = settings.theme;
    object["notify"] = settings.notify;
    object["volume"] = settings.volume.load();
    object["bsv"] = settings.bsv;
    if (!settings.output.empty()) object["output"] = wideToUtf8(settings.output);
    if (settings.mainSet) {
        object["main_x"] = settings.mainX;
        object["main_y"] = settings.mainY;
    }
    json boxes = json::array();
    for (int k = 1; k <= kCardKinds; ++k) {
        const CardPlacement& entry = settings.boxes[static_cast<size_t>(k)];
        if (entry.set) boxes.push_back({{"k", k}, {"x", entry.x}, {"y", entry.y}});
    }
    object["boxes"] = std::move(boxes);
    return object;
}

// --- Identity data ------------------------------------------------------------

static std::vector<std::string> stringElements(const json& object, const char* key)
{
    std::vector<std::string> out;
    for (const auto& element : arrayOrEmpty(object, key))
        if (element.is_string()) out.push_back(element.get<std::string>());
    return out;
}

static bool contains(const std::vector<std::string>& list, const std::string& value)
{
    return std::find(list.begin(), list.end(), value) != list.end();
}

// One element of "saved", "calls" or "inbox": false when it is not an object
// or one of its fields has the wrong type (the element is then skipped).
static bool readSaved(const json& e, SavedMessage& m)
{
    if (!e.is_object()) return false;
    std::string audio;
    if (readNumber(e, "n", m.n) == Field::WrongType || readString(e, "id", m.id) == Field::WrongType ||
        readString(e, "from", m.from) == Field::WrongType || readString(e, "txid", m.txid) == Field::WrongType ||
        readString(e, "audio", audio) == Field::WrongType)
        return false;
    m.audio = base64Decode(audio);
    return true;
}

static bool readCall(const json& e, CallRecord& c)
{
    if (!e.is_object()) return false;
    return readString(e, "from", c.from) != Field::WrongType && readString(e, "to", c.to) != Field::WrongType &&
           readNumber(e, "secs", c.secs) != Field::WrongType && readNumber(e, "sats", c.sats) != Field::WrongType &&
           readNumber(e, "ts", c.ts) != Field::WrongType && readBool(e, "missed", c.missed) != Field::WrongType &&
           readBool(e, "hide", c.hide) != Field::WrongType && readString(e, "id", c.id) != Field::WrongType &&
           readString(e, "txid", c.txid) != Field::WrongType;
}

static bool readInbox(const json& e, InboxMessage& m)
{
    if (!e.is_object()) return false;
    std::string audio;
    if (readString(e, "id", m.id) == Field::WrongType || readString(e, "from", m.from) == Field::WrongType ||
        readString(e, "txid", m.txid) == Field::WrongType || readNumber(e, "ts", m.ts) == Field::WrongType ||
        readNumber(e, "secs", m.secs) == Field::WrongType || readString(e, "audio", audio) == Field::WrongType)
        return false;
    m.audio = base64Decode(audio);
    return true;
}

std::optional<IdentityData> identityFromJson(const json& obj)
{
    if (!obj.is_object()) return std::nullopt;
    IdentityData identity;

    readBool(obj, "answerphone", identity.answerphone);

    int32_t fee = 1;
    readNumber(obj, "phone_fee", fee);
    identity.phoneFee = (fee >= 1 && fee <= 100) ? fee : 1;

    readBool(obj, "greet_on", identity.greetOn);
    std::string greeting;
    if (readString(obj, "greet_audio", greeting) == Field::Ok) identity.greetingAudio = base64Decode(greeting);

    for (const std::string& entry : stringElements(obj, "blocked")) {
        const std::string form = wallet::comparison_form(entry);
        if (!form.empty() && !contains(identity.blocked, form)) identity.blocked.push_back(form);
    }
    identity.heard = stringElements(obj, "heard");
    identity.tomb = stringElements(obj, "tomb");

    for (const json& e : arrayOrEmpty(obj, "saved")) {
        SavedMessage m;
        if (readSaved(e, m) && m.n > 0 && !m.audio.empty()) identity.saved.push_back(std::move(m));
    }

    for (const json& e : arrayOrEmpty(obj, "calls")) {
        CallRecord c;
        if (readCall(e, c)) identity.calls.push_back(std::move(c));
    }

    for (const json& e : arrayOrEmpty(obj, "inbox")) {
        InboxMessage m;
        if (!readInbox(e, m) || m.id.empty() || m.audio.empty()) continue;
        if (contains(identity.tomb, m.id) || contains(identity.heard, m.id)) continue;
        identity.inbox.push_back(std::move(m));
    }
    trimInbox(identity.inbox);
    return identity;
}

json identityJson(const IdentityData& identity)
{
    json object = json::object();
    object["answerphone"] = identity.answerphone;
    object["phone_fee"] = identity.phoneFee;
    object["greet_on"] = identity.greetOn;
    if (!identity.greetingAudio.empty()) object["greet_audio"] = base64Encode(identity.greetingAudio);
    object["blocked"] = identity.blocked;
    object["heard"] = identity.heard;
    object["tomb"] = identity.tomb;

    json saved = json::array();
    for (const SavedMessage& m : identity.saved) {
        json row = {{"n", m.n}, {"id", m.id}, {"from", m.from}, {"audio", base64Encode(m.audio)}};
        if (m.txid.size() == 64) row["txid"] = m.txid;
        saved.push_back(std::move(row));
    }
    object["saved"] = std::move(saved);

    json calls = json::array();
    for (const CallRecord& c : identity.calls) {
        json row = {{"from", c.from}, {"to", c.to}, {"secs", c.secs},
                    {"sats", c.sats}, {"ts", c.ts}, {"missed", c.missed}};
        if (c.hide) row["hide"] = true;
        if (!c.id.empty()) row["id"] = c.id;
        if (!c.txid.empty()) row["txid"] = c.txid;
        calls.push_back(std::move(row));
    }
    object["calls"] = std::move(calls);

    const size_t beyond = identity.inbox.size() > kMaxInbox ? identity.inbox.size() - kMaxInbox : 0;
    json inbox = json::array();
    for (size_t i = beyond; i < identity.inbox.size(); ++i) {
        const InboxMessage& m = identity.inbox[i];
        if (m.id.empty() || m.audio.empty()) continue;
        json row = {{"id", m.id}, {"from", m.from}, {"ts", m.ts}, {"secs", m.secs}, {"audio", base64Encode(m.audio)}};
        if (m.txid.size() == 64) row["txid"] = m.txid;
        inbox.push_back(std::move(row));
    }
    if (!inbox.empty()) object["inbox"] = std::move(inbox);
    return object;
}

void trimInbox(std::vector<InboxMessage>& inbox)
{
    if (inbox.size() > kMaxInbox) inbox.erase(inbox.begin(), inbox.end() - static_cast<std::ptrdiff_t>(kMaxInbox));
}

// --- Typed reading and the file text -------------------------------------------

Field readBool(const json& object, const char* key, bool& out)
{
    const auto it = object.find(key);
    if (it == object.end()) return Field::Missing;
    if (!it->is_boolean()) return Field::WrongType;
    out = it->get<bool>();
    return Field::Ok;
}

Field readString(const json& object, const char* key, std::string& out)
{
    const auto it = object.find(key);
    if (it == object.end()) return Field::Missing;
    if (!it->is_string()) return Field::WrongType;
    out = it->get<std::string>();
    return Field::Ok;
}

const json& arrayOrEmpty(const json& object, const char* key)
{
    static const json empty = json::array();
    const auto it = object.find(key);
    return (it != object.end() && it->is_array()) ? *it : empty;
}

std::string storeFileText(const json& object)
{
    return object.dump(2, ' ', false, json::error_handler_t::replace);
}

} // namespace kestrel
