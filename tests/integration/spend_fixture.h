// A fresh data folder with a wallet made by the Tessera stand-in (an
// implementation independent of ours), bound and loaded, on the devnet's
// configuration; helpers to fund it, read transactions back and set faults
// that touch only this wallet's addresses.
#pragma once

#include "test_support.h"
#include "devnet_client.h"
#include "temp_folder.h"

#include "wallet/address.h"
#include "wallet/broadcast.h"
#include "wallet/building.h"
#include "wallet/coins.h"
#include "wallet/transaction.h"
#include "wallet/wallet_file.h"
#include "wallet/wallet_state.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

struct TesseraWallet {
    std::string id;
    std::string receive;
    std::string identity;
};

// "tessera create" in the current data folder (LOCALAPPDATA).
inline TesseraWallet createTesseraWallet(const std::string& name)
{
    const nlohmann::json doc = runTessera("create --name " + shellQuoted(name)).out;
    TesseraWallet wallet;
    if (!doc.is_object()) return wallet;
    wallet.id = doc.value("id", "");
    wallet.receive = doc.value("receive", "");
    wallet.identity = doc.value("identity", "");
    return wallet;
}

// A wallet with a paymail, made by the Tessera stand-in in data folder root
// and registered on the devnet's service with its identity key and address.
struct PhoneWallet {
    std::string alias;
    std::string id;
    std::string receive;
    std::string identityPub;
};

inline PhoneWallet makePhoneWallet(const Devnet& devnet, const std::string& stem, const std::string& root)
{
    PhoneWallet made;
    made.alias = freshAlias(stem);
    const nlohmann::json answer =
        runTessera("create --name " + shellQuoted(stem) + " --paymail " + shellQuoted(made.alias), root).out;
    EXPECT_TRUE(answer.is_object()) << "tessera create failed";
    if (!answer.is_object()) return made;
    made.id = answer.value("id", "");
    made.receive = answer.value("receive", "");
    const nlohmann::json keys = runTessera("address --wallet " + shellQuoted(made.id), root).out;
    made.identityPub = keys.is_object() ? keys.value("identity_pubkey", "") : "";
    long status = 0;
    devnet.registerAlias(made.alias, {{"pubkey", made.identityPub}, {"address", made.receive}}, &status);
    EXPECT_EQ(status, 200);
    return made;
}

class SpendOnDevnet : public ::testing::Test {
protected:
    TempDataFolder temp;
    Devnet devnet;
    TesseraWallet wallet;
    std::vector<std::string> faults; // ids to clear at the end

    void SetUp() override
    {
        ASSERT_TRUE(devnet.load()) << "the devnet fixture did not run";
        devnet.useConfig();
        cv_tessera_wallet::set_confirm_spacing_ms(150);
        wallet = createTesseraWallet("spender");
        ASSERT_FALSE(wallet.id.empty()) << "tessera create failed";
        use(wallet);
    }

    void TearDown() override
    {
        for (const std::string& id : faults) {
            long status = 0;
            devnet.control("DELETE", "/control/faults/" + id, nullptr, &status);
            EXPECT_EQ(status, 200) << "fault " << id << " was not cleared";
        }
        cv_tessera_wallet::wait_for_background_posts(15000);
        cv_tessera_wallet::unload_wallet();
        cv_tessera_wallet::reset_coin_state();
        cv_tessera_wallet::set_bound_wallet_id("");
        cv_tessera_wallet::set_confirm_spacing_ms(700);
    }

    // Binds and loads another wallet of the same data folder.
    static void use(const TesseraWallet& w)
    {
        cv_tessera_wallet::unload_wallet();
        cv_tessera_wallet::set_bound_wallet_id(w.id);
        ASSERT_TRUE(cv_tessera_wallet::load_wallet());
        ASSERT_EQ(cv_tessera_wallet::wallet_view().receive_address, w.receive);
    }

    // Funds the receive address; answers the coins in vout order.
    std::vector<cv_tessera_wallet::Coin> fund(const std::vector<int64_t>& sats, const std::string& address = "")
    {
        const std::string txid = devnet.fund(address.empty() ? wallet.receive : address, sats);
        std::vector<cv_tessera_wallet::Coin> coins;
        for (size_t i = 0; i < sats.size(); ++i) {
            cv_tessera_wallet::Coin c;
            c.txid = txid;
            c.vout = static_cast<uint32_t>(i);
            c.sats = sats[i];
            coins.push_back(c);
        }
        return coins;
    }

    // The transaction as the chain holds it.
    cv_tessera_wallet::Transaction chainTx(const std::string& txid) const
    {
        const auto answer = devnet.control("GET", "/control/tx/" + txid);
        cv_tessera_wallet::Transaction tx;
        if (answer.is_object() && answer.contains("hex"))
            cv_tessera_wallet::parse_transaction_hex(answer["hex"].get<std::string>(), tx);
        return tx;
    }

    // Registers a fault for requests under a chain API path of this test's
    // own address (so that parallel tests are not touched).
    void chainFault(const std::string& path, const nlohmann::json& fault)
    {
        nlohmann::json body = fault;
        body["host"] = "chain";
        body["path"] = "/v1/bsv/main" + path;
        addFault(body);
    }

    // Registers fault on the devnet and keeps its id to clear at the end.
    void addFault(const nlohmann::json& fault)
    {
        const auto answer = devnet.control("POST", "/control/fault", fault);
        ASSERT_TRUE(answer.is_object() && answer.contains("id")) << answer.dump();
        faults.push_back(answer["id"].is_string() ? answer["id"].get<std::string>() : answer["id"].dump());
    }

    // Requests the devnet saw for a path prefix (any host).
    std::vector<nlohmann::json> requests(const std::string& path) const { return devnet.requests("path=" + path); }

    // Spends coin with the wallet's own key to someone else, straight to the
    // chain, so that the wallet's books do not know; answers the txid.
    std::string spendBehindItsBack(cv_tessera_wallet::Coin coin)
    {
        using namespace cv_tessera_wallet;
        Bytes to, change;
        decode_address("1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH", to);
        decode_address(wallet.receive, change);
        coin.hash160 = change;
        std::vector<Coin> inputs;
        std::vector<Output> outputs;
        int64_t fee = 0;
        std::string error;
        EXPECT_TRUE(build_payment({coin}, inputs, outputs, to, change, coin.sats - 20, "", fee, error)) << error;
        EXPECT_EQ(outputs.size(), 1u); // no change comes back to the wallet
        EXPECT_TRUE(sign_inputs(inputs, outputs));
        const auto answer =
            devnet.control("POST", "/control/submit", {{"txhex", hex_encode(serialize(inputs, outputs, false))}});
        EXPECT_EQ(answer.value("ok", false), true) << answer.dump();
        return answer.value("txid", "");
    }

    // The chain API keeps listing coins as unspent, as a lagging indexer
    // does; with_history false also hides the mempool's spends from it.
    void lagBehind(const std::vector<cv_tessera_wallet::Coin>& coins, bool with_history = false)
    {
        nlohmann::json list = nlohmann::json::array();
        for (const auto& c : coins) list.push_back({{"tx_hash", c.txid}, {"tx_pos", c.vout}, {"value", c.sats}});
        const std::string base = "/address/" + wallet.receive;
        chainFault(base + "/unspent/all", {{"kind", "body"}, {"count", "always"}, {"body", {{"result", list}}}});
        if (!with_history)
            chainFault(base + "/unconfirmed/history",
                       {{"kind", "body"}, {"count", "always"}, {"body", {{"result", nlohmann::json::array()}}}});
    }

    static std::string txidOf(const std::string& result)
    {
        // "success: <txid>" or "success: <txid> <fee>"
        return result.rfind("success: ", 0) == 0 ? result.substr(9, 64) : std::string();
    }

    static std::string outpoint(const cv_tessera_wallet::Coin& c) { return c.txid + ":" + std::to_string(c.vout); }

    static std::string p2pkhAddressOf(const cv_tessera_wallet::Output& out)
    {
        if (out.script.size() != 25) return {};
        return cv_tessera_wallet::address_from_hash160(
            cv_tessera_wallet::Bytes(out.script.begin() + 3, out.script.begin() + 23));
    }
};
