#include "phone/avatars.h"

#include "phone/app_messages.h"
#include "phone/web_requests.h"
#include "platform/config.h"
#include "platform/worker.h"
#include "platform/sync.h"

#include <nlohmann/json.hpp>

#include <map>

namespace kestrel {

namespace {

struct AvatarEntry {
    std::string image; // bytes; empty for none
    bool done = false;
};

struct AvatarCache {
    platform::Mutex mutex;
    std::map<std::string, AvatarEntry> entries GUARDED_BY(mutex);
    int fetches GUARDED_BY(mutex) = 0;
};

AvatarCache& cache()
{
    static AvatarCache instance;
    return instance;
}

constexpr int kTimeoutMs = 8000;
constexpr int kBackoffMs = 8000;

std::string avatarAddress(const std::string& profile)
{
    const nlohmann::json parsed = nlohmann::json::parse(profile, nullptr, false);
    if (!parsed.is_object()) return {};
    const auto found = parsed.find("avatar");
    return found != parsed.end() && found->is_string() ? found->get<std::string>() : std::string();
}

} // namespace

bool splitSecureUrl(const std::string& url, std::string& host, std::string& path)
{
    host.clear();
    path.clear();
    const std::string prefix = "https://";
    if (!url.starts_with(prefix)) return false;
    const size_t slash = url.find('/', prefix.size());
    if (slash == std::string::npos || slash == prefix.size()) return false;
    host = url.substr(prefix.size(), slash - prefix.size());
    path = url.substr(slash);
    return true;
}

void requestAvatar(const std::string& key)
{
    if (key.empty()) return;
    {
        AvatarCache& c = cache();
        platform::LockGuard lock(c.mutex);
        if (c.entries.contains(key)) return;
        c.entries.emplace(key, AvatarEntry {});
        ++c.fetches;
    }
    platform::runTask([key] { fetchAvatar(key); });
}

std::string lookupAvatar(const std::string& key)
{
    AvatarCache& c = cache();
    platform::LockGuard lock(c.mutex);
    const auto found = c.entries.find(key);
    return found != c.entries.end() && found->second.done ? found->second.image : std::string();
}

int avatarFetchCount()
{
    AvatarCache& c = cache();
    platform::LockGuard lock(c.mutex);
    return c.fetches;
}

void fetchAvatar(const std::string& key)
{
    const platform::Config& config = platform::config();
    const std::string profilePath = "/api/bsvalias/public-profile/" + key + "@" + config.service_domain;
    const std::string profile = webGet(config.service_host, profilePath, kTimeoutMs, nullptr, kBackoffMs);
    std::string image, host, path;
    if (splitSecureUrl(avatarAddress(profile), host, path)) {
        image = webGet(host, path, kTimeoutMs, nullptr, kBackoffMs);
        if (image.size() < kAvatarMinBytes || image.size() >= kAvatarMaxBytes) image.clear();
    }
    {
        AvatarCache& c = cache();
        platform::LockGuard lock(c.mutex);
        c.entries[key] = AvatarEntry {std::move(image), true};
    }
    postToCardWindow(WM_PHONE_AVATAR);
}

void forgetAvatars()
{
    AvatarCache& c = cache();
    platform::LockGuard lock(c.mutex);
    c.entries.clear();
    c.fetches = 0;
}

} // namespace kestrel
