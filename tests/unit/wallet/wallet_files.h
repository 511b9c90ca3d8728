// Wallet files for the wallet tests: a temporary data folder, a bound wallet
// id and the text of its wallet.json, with the state unloaded around each test.
#pragma once

#include "platform/data_folder.h"
#include "platform/files.h"
#include "temp_folder.h"
#include "wallet/wallet_file.h"
#include "wallet/wallet_state.h"

#include <gtest/gtest.h>

#include <string>

// Published BIP-39 vector phrase; its keys below were derived with @bsv/sdk.
inline const std::string kPhrase = "legal winner thank year wave sausage worth useful legal winner thank yellow";

class WalletFiles : public ::testing::Test {
protected:
    TempDataFolder temp;

    void SetUp() override
    {
        cv_tessera_wallet::unload_wallet();
        cv_tessera_wallet::set_bound_wallet_id("w1");
    }
    void TearDown() override
    {
        cv_tessera_wallet::unload_wallet();
        cv_tessera_wallet::set_bound_wallet_id("");
    }
    std::string walletPath() const { return temp.corvane() + "/wallets/w1/wallet.json"; }
    void writeWallet(const std::string& text) const
    {
        platform::makeFolders(temp.corvane() + "/wallets/w1");
        ASSERT_TRUE(platform::replaceFileAtomically(walletPath(), text));
    }
    std::string readWallet() const
    {
        std::string text;
        platform::readFile(walletPath(), text);
        return text;
    }
    static std::string phraseWallet(const std::string& recv = "[4, 3, 0, 0, 0, 2]", const std::string& show = "7")
    {
        return R"({"version": 2, "mnemonic": ")" + kPhrase + R"(", "backup": true, "recv": )" + recv + R"(, "show": )" +
               show + R"(, "identity": "", "address": "", "paymail": "alice@corvane.app",
                 "ord_avatar": {}, "ord_owned": [], "contacts": []})";
    }
};
