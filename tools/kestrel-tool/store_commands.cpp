// Store commands: load and show what the phone remembers for an identity.
#include "phone/phone_store.h"
#include "phone/text.h"
#include "tools/kestrel-tool/tool.h"

namespace tool {

static int storeShow(const Args& args)
{
    using namespace kestrel;
    loadSettings();
    switchOwner(args.get("handle"));
    const PhoneStore& s = phoneStore();
    nlohmann::json settings = {{"admin", s.admin.load()},   {"theme", s.theme}, {"notify", s.notify},
                               {"volume", s.volume.load()}, {"bsv", s.bsv},     {"output", wideToUtf8(s.output)}};
    nlohmann::json identity = buildIdentityJson();
    for (const char* key : {"saved", "inbox"}) // audio is bulky: show counts
        if (identity.contains(key)) identity[key] = identity[key].size();
    return printJson({{"phone_file", phoneFilePath()},
                      {"identity_file", identityFilePath(s.ownerId)},
                      {"owner", s.ownerId},
                      {"settings", settings},
                      {"identity", identity}});
}

std::vector<Command> storeCommands()
{
    return {
        {"store", "--handle HANDLE",
         "load the device settings and HANDLE's identity data from the phone folder (creating them on first use) and "
         "show them",
         storeShow},
    };
}

} // namespace tool
