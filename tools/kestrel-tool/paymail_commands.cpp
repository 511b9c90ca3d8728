// Paymail commands: the signed claim of the wallet that the data folder binds,
// sent to whatever service host the configuration points at.
#include "services/paymail_claim.h"
#include "tools/kestrel-tool/tool.h"
#include "wallet/keys.h"
#include "wallet/wallet_file.h"
#include "wallet/wallet_state.h"

namespace tool {

// Claims the own alias with the wallet's identity key, receive address,
// avatar and ordinals address; {"result": ""} on success, exit 1 otherwise.
static int claim(const Args& args)
{
    registerAsKestrel(args);
    std::string alias, key, address, avatar, ord;
    {
        platform::LockGuard lock(cv_tessera_wallet::wallet_mutex());
        if (!cv_tessera_wallet::load_wallet() || !cv_tessera_wallet::wallet_state().keys_ready) {
            printJson({{"result", cv_tessera_wallet::kHdNotConnected}});
            return 1;
        }
        cv_tessera_wallet::refresh_wallet();
        kestrel::resolveOwnPaymail(false);
        const cv_tessera_wallet::WalletState& state = cv_tessera_wallet::wallet_state();
        alias = kestrel::ownAlias();
        key = state.identity_pub;
        address = state.receive_address;
        avatar = kestrel::avatarText(state.ord_avatar);
        ord = state.ord_address;
    }
    const std::string result = kestrel::claimPaymail(alias, key, address, avatar, ord);
    printJson({{"result", result}});
    return result.empty() ? 0 : 1;
}

std::vector<Command> paymailCommands()
{
    return {
        {"claim", "[--instance DIR]",
         "claim the bound wallet's paymail alias on the service (identity key, receive address, avatar, ordinals "
         "address); result is empty on success, else the error text (exit 1)",
         claim},
    };
}

} // namespace tool
