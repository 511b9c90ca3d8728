// Connect commands: the real Tessera handshake through the data folder, for
// whatever answers it (Tessera, or the stand-in's "tessera watch").
#include "platform/data_folder.h"
#include "services/paymail_claim.h"
#include "services/tessera_link.h"
#include "tools/kestrel-tool/tool.h"
#include "wallet/wallet_file.h"
#include "wallet/wallet_state.h"

namespace tool {

// Registers as the phone would, with this instance string.
void registerAsKestrel(const Args& args)
{
    kestrel::registerApp(args.get("instance", platform::executableFolder()), "Kestrel");
}

bool loadBoundWallet(const Args& args)
{
    registerAsKestrel(args);
    platform::LockGuard lock(cv_tessera_wallet::wallet_mutex());
    return cv_tessera_wallet::load_wallet();
}

static nlohmann::json walletSummary()
{
    const cv_tessera_wallet::WalletView view = cv_tessera_wallet::wallet_view();
    return {{"wallet_id", kestrel::currentWalletId()},
            {"wallet_name", kestrel::walletDisplayName(kestrel::currentWalletId())},
            {"loaded", view.loaded},
            {"receive", view.receive_address},
            {"identity", view.identity_address},
            {"paymail", kestrel::ownPaymail()}};
}

static int connect(const Args& args)
{
    registerAsKestrel(args);
    const std::string result = kestrel::connectToTessera();
    nlohmann::json answer = walletSummary();
    answer["result"] = result;
    printJson(answer);
    return result == "success" ? 0 : 1;
}

static int disconnect(const Args& args)
{
    registerAsKestrel(args);
    return printJson({{"result", kestrel::disconnectFromTessera()}});
}

static int status(const Args& args)
{
    registerAsKestrel(args);
    nlohmann::json answer = {{"connected", kestrel::isTesseraConnected()}};
    {
        platform::LockGuard lock(cv_tessera_wallet::wallet_mutex());
        if (!kestrel::currentWalletId().empty()) cv_tessera_wallet::load_wallet();
        answer["locked"] = !kestrel::currentWalletId().empty() && cv_tessera_wallet::is_wallet_locked();
    }
    answer.update(walletSummary());
    return printJson(answer);
}

std::vector<Command> connectCommands()
{
    return {
        {"connect", "[--instance DIR]",
         "register as Kestrel (instance: DIR, default this program's folder) and run the Tessera connect handshake; "
         "exit 1 unless it answers success",
         connect},
        {"disconnect", "[--instance DIR]", "forget this instance's bound wallet (the bind file) and unload it",
         disconnect},
        {"connection", "[--instance DIR]", "show whether a wallet is bound and what it loads as", status},
    };
}

} // namespace tool
