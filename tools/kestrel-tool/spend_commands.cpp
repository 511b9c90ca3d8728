// Spend commands: the wallet's coins and balance, the spend command, phone
// payloads and coin splitting, on the wallet the data folder binds for this
// instance (as the phone registers) and the services the configuration names.
//
// The results of send, phone-send and prepare-coins are the wallet's own
// texts in {"result": TEXT}; the exit status is 0 when the text begins
// "success" or is "ready", else 1.
#include "services/balance.h"
#include "services/tessera_link.h"
#include "tools/kestrel-tool/tool.h"
#include "wallet/address.h"
#include "wallet/broadcast.h"
#include "wallet/coins.h"
#include "wallet/phone_spend.h"
#include "wallet/spend.h"
#include "wallet/spend_result.h"
#include "wallet/wallet_file.h"
#include "wallet/wallet_state.h"

#include <charconv>

namespace tool {

using namespace cv_tessera_wallet;

namespace {

bool wholeNumber(const std::string& text, int64_t& value)
{
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return !text.empty() && ec == std::errc() && ptr == end;
}

int answer(const std::string& result)
{
    wait_for_background_posts(kBackgroundWaitMs);
    printJson({{"result", result}});
    return read_spend_result(result).sent() || result == kReady ? 0 : 1;
}

int coins(const Args& args)
{
    if (!loadBoundWallet(args)) return fail(kNoWallet);
    SpendCoins found;
    std::string error;
    if (!gather_spend_coins(found, error)) return fail("error: " + error);
    nlohmann::json list = nlohmann::json::array();
    int64_t total = 0;
    for (const Coin& c : found.offered) {
        list.push_back(
            {{"txid", c.txid}, {"vout", c.vout}, {"sats", c.sats}, {"address", address_from_hash160(c.hash160)}});
        total += c.sats;
    }
    return printJson({{"coins", list}, {"total", total}});
}

// The balance as the phone face shows it: the coins scanned afresh, or the
// last face kept for this wallet when the chain service cannot be read.
int balance(const Args& args)
{
    if (!loadBoundWallet(args)) return fail(kNoWallet);
    SpendCoins found;
    std::string error;
    gather_spend_coins(found, error);
    const int64_t face = kestrel::refreshFace();
    kestrel::flushFaceFile();
    if (face < 0) return fail("error: " + (error.empty() ? std::string("balance unknown") : error));
    return printJson({{"sats", face}});
}

int send(const Args& args)
{
    if (!requireOptions(args, {"to", "sats"}, "send")) return 1;
    int64_t sats = 0;
    if (!wholeNumber(args.get("sats"), sats)) return fail("--sats must be a whole number of satoshis");
    loadBoundWallet(args);
    return answer(spend(args.get("to"), sats, args.get("note")));
}

int phoneSend(const Args& args)
{
    if (!requireOptions(args, {"to", "payload"}, "phone-send")) return 1;
    int64_t rate = 100;
    if (args.options.count("rate") && (!wholeNumber(args.get("rate"), rate) || rate < 0 || rate > 0xFFFFFFFFll))
        return fail("--rate must be a whole number of satoshis per 1000 bytes");
    loadBoundWallet(args);
    return answer(phone_send(args.get("to"), args.get("payload"), static_cast<uint32_t>(rate), args.has("sync"),
                             args.get("second")));
}

int prepareCoins(const Args& args)
{
    loadBoundWallet(args);
    return answer(phone_prepare_coins());
}

} // namespace

std::vector<Command> spendCommands()
{
    return {
        {"coins", "[--instance DIR]",
         "the bound wallet's coins as the spend command offers them -> {coins: [{txid, vout, sats, address}], total}",
         coins},
        {"balance", "[--instance DIR]",
         "the bound wallet's balance as the phone shows it: coins scanned afresh, else the last kept figure -> {sats}",
         balance},
        {"send", "--to ADDRESS --sats N [--note TEXT] [--instance DIR]",
         "pay N satoshis to a P2PKH address, with an optional data note -> {result}", send},
        {"phone-send", "--to ADDRESS --payload TEXT [--rate N] [--sync] [--second ADDRESS] [--instance DIR]",
         "send a phone payload (fast submit, or --sync for the full broadcast) -> {result}", phoneSend},
        {"prepare-coins", "[--instance DIR]", "split the largest coin towards 121 coins for calls -> {result}",
         prepareCoins},
    };
}

} // namespace tool
