#include "wallet/handle_forms.h"
#include "wallet/address.h"
#include "wallet/keys.h"
#include "wallet_files.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <iterator>
#include <sys/resource.h>
#include <filesystem>
#include <thread>
#include <vector>

using namespace cv_tessera_wallet;

using WalletFile = WalletFiles;

namespace {

std::string addressAt(const char* path)
{
    std::string priv, pub, address;
    derive_from_phrase(kPhrase, path, priv, pub, address);
    return address;
}

} // namespace

TEST_F(WalletFile, PathFollowsTheBinding)
{
    EXPECT_EQ(wallet_file_path(), temp.corvane() + "/wallets/w1/wallet.json");
    set_bound_wallet_id("");
    EXPECT_EQ(wallet_file_path(), temp.corvane() + "/corvane_tessera.json");
}

TEST_F(WalletFile, PhraseWalletRoundTripsInFieldOrder)
{
    writeWallet(
        R"({"contacts": [{"note": "Bob", "dest": " @Bob@Corvane.App\n"}, {"dest": "1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH"}],
        "paymail": "alice@corvane.app", "show": 1, "recv": [0, 2, 0, 0, 0, 0], "backup": true,
        "mnemonic": ")" +
        kPhrase + R"(", "version": 2, "unknown": 5,
        "ord_avatar": {"origin": "o1", "txid": "t1", "vout": 3, "amt": "1000", "dec": 8, "created": 1700000000, "hidden": true},
        "ord_owned": [{"origin": "o2", "name": "Two", "amt": 5}, 7]})");
    ASSERT_TRUE(load_wallet());
    ASSERT_TRUE(save_wallet());
    const std::string expected = R"({
  "version": 2,
  "mnemonic": ")" + kPhrase + R"(",
  "backup": true,
  "recv": [
    0,
    2,
    0,
    0,
    0,
    0
  ],
  "show": 1,
  "identity": "1JoE52smo6je1NbJuJVEKG3GSTAocaxrQg",
  "address": ")" + addressAt("m/44'/236'/1'/0/1") +
                                 R"(",
  "paymail": "alice@corvane.app",
  "ord_avatar": {
    "origin": "o1",
    "txid": "t1",
    "vout": 3,
    "type": "",
    "address": "",
    "name": "",
    "icon": "",
    "amt": "1000",
    "dec": 8,
    "token_id": "",
    "hidden": true,
    "created": 1700000000
  },
  "ord_owned": [
    {
      "origin": "o2",
      "txid": "",
      "vout": 0,
      "type": "",
      "address": "",
      "name": "Two",
      "icon": "",
      "amt": 5,
      "dec": 0,
      "token_id": "",
      "hidden": false,
      "created": 0
    }
  ],
  "contacts": [
    {
      "dest": "bob",
      "note": "Bob"
    },
    {
      "dest": "1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH",
      "note": ""
    }
  ]
})";
    EXPECT_EQ(readWallet(), expected);
    EXPECT_FALSE(platform::pathExists(walletPath() + ".tmp"));

    // Loading what was saved gives the same text again.
    unload_wallet();
    ASSERT_TRUE(load_wallet());
    ASSERT_TRUE(save_wallet());
    EXPECT_EQ(readWallet(), expected);
}

TEST_F(WalletFile, SingleKeyWalletComputesMissingKeyAndAddress)
{
    writeWallet(R"({"priv": "67376a8d83c314188e28185a9964a10545ebec366ba2fc22dfd67cd55805bebd", "paymail": "",
                    "ord_avatar": {}, "ord_owned": [], "contacts": []})");
    ASSERT_TRUE(load_wallet());
    const WalletView v = wallet_view();
    EXPECT_FALSE(v.is_hd);
    EXPECT_FALSE(v.keys_ready);
    EXPECT_EQ(v.receive_pub, "030f5d47f42f086e92848e75a76d45cae11b39b25dac3a4b4ea38b3b3cc5986d90");
    EXPECT_EQ(v.receive_address, "17DVtuwtBZigbx1rNRR9HYBXV2MPLMcsAe");
    EXPECT_EQ(v.identity_address, "");
    ASSERT_TRUE(save_wallet());
    EXPECT_EQ(readWallet(), R"({
  "priv": "67376a8d83c314188e28185a9964a10545ebec366ba2fc22dfd67cd55805bebd",
  "pub": "030f5d47f42f086e92848e75a76d45cae11b39b25dac3a4b4ea38b3b3cc5986d90",
  "address": "17DVtuwtBZigbx1rNRR9HYBXV2MPLMcsAe",
  "paymail": "",
  "ord_avatar": {},
  "ord_owned": [],
  "contacts": []
})");
}

TEST_F(WalletFile, BadFilesGiveNoWallet)
{
    const std::string key = "67376a8d83c314188e28185a9964a10545ebec366ba2fc22dfd67cd55805bebd";
    const std::string words11 = "legal winner thank year wave sausage worth useful legal winner thank";
    const std::string otherPub = "0279be667ef9dcbbac55a06295ce870b07029bfcdb2dce28d959f2815b16f81798"; // key 1
    const std::string otherAddress = "1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH";
    const struct {
        std::string text;
        WalletFileStatus status;
    } cases[] = {
        {"", WalletFileStatus::not_json},
        {"{", WalletFileStatus::not_json},
        {"not json", WalletFileStatus::not_json},
        {"[1, 2]", WalletFileStatus::not_json},
        {"\"text\"", WalletFileStatus::not_json},
        {"{}", WalletFileStatus::invalid},
        {R"({"paymail": "a"})", WalletFileStatus::invalid},
        {R"({"mnemonic": 12})", WalletFileStatus::invalid},
        {R"({"mnemonic": null, "priv": ")" + key + R"("})", WalletFileStatus::invalid},
        {R"({"mnemonic": ")" + words11 + R"("})", WalletFileStatus::invalid},
        {R"({"mnemonic": ")" + words11 + R"( zoo"})", WalletFileStatus::invalid},
        {R"({"mnemonic": ")" + kPhrase + " " + kPhrase + R"("})", WalletFileStatus::invalid},
        {R"({"priv": 5})", WalletFileStatus::invalid},
        {R"({"priv": "xyz"})", WalletFileStatus::invalid},
        {R"({"priv": ")" + std::string(64, '0') + R"("})", WalletFileStatus::invalid},
        {R"({"priv": ")" + key + R"(", "pub": 7})", WalletFileStatus::invalid},
        {R"({"priv": ")" + key + R"(", "pub": "02ab"})", WalletFileStatus::invalid},
        {R"({"priv": ")" + key + R"(", "address": []})", WalletFileStatus::invalid},
        // Counters far beyond any wallet's use (a 32-bit loop up to the top
        // one would never end).
        {R"({"mnemonic": ")" + kPhrase + R"(", "recv": [0, 4294967295, 0, 0, 0, 0]})", WalletFileStatus::invalid},
        {R"({"mnemonic": ")" + kPhrase + R"(", "recv": [0, 0, 0, 0, 0, 100001]})", WalletFileStatus::invalid},
        // A single key whose public half or address belongs to another key.
        {R"({"priv": ")" + key + R"(", "pub": ")" + otherPub + R"("})", WalletFileStatus::key_mismatch},
        {R"({"priv": ")" + key + R"(", "address": ")" + otherAddress + R"("})", WalletFileStatus::key_mismatch},
        {R"({"lock": "CV-LOCK1"})", WalletFileStatus::locked},
        {R"({"lock": "CV-LOCK1", "mnemonic": ")" + kPhrase + R"("})", WalletFileStatus::locked},
    };
    for (const auto& c : cases) {
        WalletState parsed;
        EXPECT_EQ(parse_wallet_text(c.text, parsed), c.status) << c.text;
        EXPECT_TRUE(parsed.phrase.empty() && parsed.receive_priv.empty() && !parsed.is_hd) << c.text;

        writeWallet(c.text);
        unload_wallet();
        EXPECT_FALSE(load_wallet()) << c.text;
        EXPECT_FALSE(wallet_view().loaded) << c.text;
        EXPECT_EQ(receive_address(), "") << c.text;
        EXPECT_EQ(is_wallet_locked(), c.status == WalletFileStatus::locked) << c.text;
        if (c.status == WalletFileStatus::key_mismatch) {
            EXPECT_EQ(wallet_load_error(), "the wallet file's pub or address does not belong to its private key.");
        }
    }

    // The highest counter a wallet may have loads; the key's own pub and
    // address, in any case, load too.
    writeWallet(R"({"mnemonic": ")" + kPhrase + R"(", "recv": [0, 0, 0, 0, 0, 100000]})");
    EXPECT_TRUE(load_wallet());
    EXPECT_EQ(wallet_load_error(), "");
    unload_wallet();
    writeWallet(R"({"priv": ")" + key +
                R"(", "pub": "030F5D47F42F086E92848E75A76D45CAE11B39B25DAC3A4B4EA38B3B3CC5986D90",
                    "address": "17DVtuwtBZigbx1rNRR9HYBXV2MPLMcsAe"})");
    EXPECT_TRUE(load_wallet());
}

TEST_F(WalletFile, OptionalMembersOfTheWrongTypeTakeDefaults)
{
    writeWallet(R"({"mnemonic": ")" + kPhrase + R"(", "backup": "yes", "recv": "x", "show": -1,
                    "paymail": 5, "ord_avatar": [], "ord_owned": {}, "contacts": [5, {"dest": 7, "note": "n"}]})");
    ASSERT_TRUE(load_wallet());
    const WalletView v = wallet_view();
    EXPECT_FALSE(v.backup);
    EXPECT_EQ(v.counters, (std::array<uint32_t, kAccounts> {}));
    EXPECT_EQ(v.shown, 0u);
    EXPECT_EQ(v.receive_address, "17DVtuwtBZigbx1rNRR9HYBXV2MPLMcsAe");
    EXPECT_EQ(v.paymail, "");
    EXPECT_TRUE(v.ord_avatar.empty());
    EXPECT_TRUE(v.ord_owned.empty());
    ASSERT_EQ(v.contacts.size(), 1u);
    EXPECT_EQ(v.contacts[0].dest, "");
    EXPECT_EQ(v.contacts[0].note, "n");
}

TEST_F(WalletFile, LockedByEnvelopeOrSealCompanion)
{
    EXPECT_FALSE(is_wallet_locked()); // no file at all
    writeWallet(phraseWallet());
    EXPECT_FALSE(is_wallet_locked());

    writeWallet(R"({"lock": "CV-LOCK1", "kdf": "pbkdf2-sha256", "iter": 210000, "salt": "00", "iv": "00",
                    "tag": "00", "ct": "00"})");
    EXPECT_TRUE(is_wallet_locked());
    EXPECT_FALSE(load_wallet());
    writeWallet(R"({"lock": "CV-LOCK2"})");
    EXPECT_FALSE(is_wallet_locked());

    // A readable plain file beside a ".seal" companion is not used.
    writeWallet(phraseWallet());
    ASSERT_TRUE(platform::replaceFileAtomically(walletPath() + ".seal", R"({"lock": "CV-LOCK1"})"));
    EXPECT_TRUE(is_wallet_locked());
    EXPECT_FALSE(load_wallet());
    EXPECT_EQ(receive_address(), "");
}

TEST_F(WalletFile, NothingWithoutABoundId)
{
    set_bound_wallet_id("");
    platform::replaceFileAtomically(temp.corvane() + "/corvane_tessera.json", phraseWallet());
    EXPECT_FALSE(load_wallet());
    EXPECT_EQ(receive_address(), "");
    EXPECT_FALSE(save_wallet());
}

TEST_F(WalletFile, ReceiveAddressLoadsOnFirstUseAndUnloadWipes)
{
    writeWallet(phraseWallet());
    EXPECT_EQ(receive_address(), "18Dt6boZSx747Hw4oSStUFZZhsc8RPKPn6");
    {
        platform::LockGuard lock(wallet_mutex());
        EXPECT_TRUE(wallet_state().seed_ready && wallet_state().master_ready);
        EXPECT_EQ(wallet_state().phrase, kPhrase);
    }
    unload_wallet();
    {
        platform::LockGuard lock(wallet_mutex());
        const WalletState& s = wallet_state();
        EXPECT_FALSE(s.loaded || s.keys_ready || s.seed_ready || s.master_ready || s.is_hd);
        EXPECT_TRUE(s.phrase.empty() && s.receive_priv.empty() && s.receive_address.empty() &&
                    s.identity_address.empty() && s.identity_pub.empty() && s.ord_address.empty());
        EXPECT_EQ(s.seed, (std::array<uint8_t, 64> {}));
        EXPECT_EQ(s.master_key, (std::array<uint8_t, 32> {}));
    }
    EXPECT_EQ(bound_wallet_id(), "w1");
    // Already loaded: the file is not read again.
    EXPECT_EQ(receive_address(), "18Dt6boZSx747Hw4oSStUFZZhsc8RPKPn6");
    writeWallet("broken");
    EXPECT_TRUE(load_wallet());
}

TEST_F(WalletFile, SaveReplacesAtomicallyAndKeepsTheOldFileOnFailure)
{
    writeWallet(phraseWallet());
    ASSERT_TRUE(load_wallet());
    const std::string before = readWallet();
    // No byte may be written (a file size limit of 0): the write fails, the
    // old file stays.
    {
        platform::LockGuard lock(wallet_mutex());
        wallet_state().paymail = "changed@corvane.app";
    }
    struct rlimit limit {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &limit), 0);
    const struct rlimit none {
        0, limit.rlim_max
    };
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &none), 0);
    const bool saved = save_wallet();
    ::setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, previous);
    EXPECT_FALSE(saved);
    EXPECT_EQ(readWallet(), before);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(temp.corvane() + "/wallets/w1"),
                            std::filesystem::directory_iterator {}),
              1); // no temporary left behind
    EXPECT_TRUE(save_wallet());
    EXPECT_NE(readWallet().find("changed@corvane.app"), std::string::npos);

    // Never over a wallet that Tessera locked meanwhile.
    const std::string locked = R"({"lock": "CV-LOCK1", "ct": "00"})";
    writeWallet(locked);
    EXPECT_FALSE(save_wallet());
    EXPECT_EQ(readWallet(), locked);
}

// Tessera may change the file between our load and our save: the save keeps
// what it changed (a confirmed backup, the address shown, inscriptions, higher
// counters, contacts) and never touches Tessera's own temporary file.
TEST_F(WalletFile, SaveMergesWhatTesseraChangedMeanwhile)
{
    writeWallet(R"({"version": 2, "mnemonic": ")" + kPhrase + R"(", "backup": false, "recv": [4, 3, 0, 0, 0, 2],
                    "show": 1, "paymail": "alice@corvane.app", "contacts": [{"dest": "bob", "note": ""}]})");
    ASSERT_TRUE(load_wallet());

    writeWallet(R"({"version": 2, "mnemonic": ")" + kPhrase + R"(", "backup": true, "recv": [4, 6, 0, 0, 0, 1],
                    "show": 5, "paymail": "alice@corvane.app", "ord_owned": [{"origin": "o1", "txid": "t1"}],
                    "contacts": [{"dest": "bob", "note": ""}, {"dest": "carol", "note": "c"}]})");
    const std::string tesseraTemporary = walletPath() + ".tmp";
    ASSERT_TRUE(platform::replaceFileAtomically(tesseraTemporary, "Tessera's own"));
    {
        platform::LockGuard lock(wallet_mutex());
        WalletState& s = wallet_state();
        s.paymail = "new@corvane.app";
        s.counters[0] = 7;
        s.contacts.push_back({"dave", "d"});
    }
    ASSERT_TRUE(save_wallet());

    const nlohmann::json saved = nlohmann::json::parse(readWallet());
    EXPECT_EQ(saved["backup"], true);
    EXPECT_EQ(saved["recv"], nlohmann::json::array({7, 6, 0, 0, 0, 2})); // the larger of each
    EXPECT_EQ(saved["show"], 5);
    EXPECT_EQ(saved["address"], addressAt("m/44'/236'/1'/0/5"));
    ASSERT_EQ(saved["ord_owned"].size(), 1u);
    EXPECT_EQ(saved["ord_owned"][0]["origin"], "o1");
    EXPECT_EQ(saved["paymail"], "new@corvane.app");
    EXPECT_EQ(saved["contacts"], nlohmann::json::parse(R"([{"dest": "bob", "note": ""}, {"dest": "carol", "note": "c"},
                                                          {"dest": "dave", "note": "d"}])"));
    const WalletView v = wallet_view();
    EXPECT_TRUE(v.backup);
    EXPECT_EQ(v.shown, 5u);
    EXPECT_EQ(v.counters[1], 6u);
    EXPECT_EQ(v.receive_address, addressAt("m/44'/236'/1'/0/5"));

    std::string text;
    ASSERT_TRUE(platform::readFile(tesseraTemporary, text));
    EXPECT_EQ(text, "Tessera's own");
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(temp.corvane() + "/wallets/w1")) {
        (void)entry;
        ++files;
    }
    EXPECT_EQ(files, 2u); // no temporary of ours left behind

    // A contact removed here stays removed, one Tessera removed too.
    writeWallet(R"({"version": 2, "mnemonic": ")" + kPhrase + R"(", "backup": true, "recv": [7, 6, 0, 0, 0, 2],
                    "show": 5, "contacts": [{"dest": "bob", "note": ""}, {"dest": "dave", "note": "d"}]})");
    {
        platform::LockGuard lock(wallet_mutex());
        std::erase_if(wallet_state().contacts, [](const Contact& c) { return c.dest == "bob"; });
    }
    ASSERT_TRUE(save_wallet());
    EXPECT_EQ(nlohmann::json::parse(readWallet())["contacts"],
              nlohmann::json::parse(R"([{"dest": "dave", "note": "d"}])"));

    // A file that now holds another wallet is not overwritten.
    const std::string other = R"({"mnemonic": "abandon abandon abandon abandon abandon abandon abandon abandon )"
                              R"(abandon abandon abandon about"})";
    writeWallet(other);
    EXPECT_FALSE(save_wallet());
    EXPECT_EQ(readWallet(), other);
}

TEST_F(WalletFile, RefreshTakesCountersAvatarAndPaymail)
{
    writeWallet(phraseWallet("[0, 3, 0, 0, 0, 0]", "3"));
    ASSERT_TRUE(load_wallet());
    EXPECT_EQ(wallet_view().ord_address, addressAt("m/44'/236'/5'/0/0"));
    const std::string fifth = addressAt("m/44'/236'/1'/0/5");
    Bytes fifth_hash;
    ASSERT_TRUE(decode_address(fifth, fifth_hash));
    std::string priv, pub;
    EXPECT_FALSE(keys_for_address(fifth, priv, pub));
    EXPECT_FALSE(is_own_hash160(fifth_hash, {}, {}));

    writeWallet(R"({"mnemonic": ")" + kPhrase + R"(", "recv": [4, 5, 0, 0, 0, 2], "show": 0,
                    "paymail": "new@corvane.app", "ord_avatar": {"origin": "o9"}})");
    refresh_wallet();
    WalletView v = wallet_view();
    EXPECT_EQ(v.counters[0], 4u);
    EXPECT_EQ(v.counters[5], 2u);
    EXPECT_EQ(v.paymail, "new@corvane.app");
    EXPECT_EQ(v.ord_avatar.origin, "o9");
    EXPECT_EQ(v.ord_address, "1Kj6ry9SewJQ83yUrSDH39QCZaN7kamtQz"); // re-derived for counters[5] = 2
    EXPECT_EQ(v.shown, 3u);                                         // "show" is not re-read
    EXPECT_EQ(v.receive_address, "18Dt6boZSx747Hw4oSStUFZZhsc8RPKPn6");
    // The higher receive counter brings index 5 in.
    EXPECT_TRUE(keys_for_address(fifth, priv, pub));
    EXPECT_EQ(address_from_pubkey(pub), fifth);
    EXPECT_TRUE(is_own_hash160(fifth_hash, {}, {}));

    // Counters lowered by Tessera: what was found before is not ours any more.
    writeWallet(R"({"mnemonic": ")" + kPhrase + R"(", "recv": [4, 3, 0, 0, 0, 2], "paymail": "new@corvane.app"})");
    refresh_wallet();
    EXPECT_FALSE(keys_for_address(fifth, priv, pub));
    EXPECT_FALSE(is_own_hash160(fifth_hash, {}, {}));

    // A counter beyond any wallet's use is not taken.
    writeWallet(R"({"mnemonic": ")" + kPhrase +
                R"(", "recv": [4, 4294967295, 0, 0, 0, 2], "paymail": "new@corvane.app"})");
    refresh_wallet();
    EXPECT_EQ(wallet_view().counters[kReceiveAccount], 3u);

    writeWallet(R"({"lock": "CV-LOCK1", "paymail": "x"})");
    refresh_wallet();
    v = wallet_view();
    EXPECT_EQ(v.paymail, "new@corvane.app");
    EXPECT_TRUE(v.loaded);
}

TEST(ContactDest, Normalisation)
{
    TempDataFolder temp;
    const struct {
        const char* typed;
        const char* stored;
    } cases[] = {
        {"@Alice@Corvane.App", "alice"},
        {" \t$@bob\r\n", "bob"},
        {"@@$carol", "carol"},
        {"Dave@example.com", "dave@example.com"},
        {"erin@corvane.app.evil", "erin@corvane.app.evil"},
        {"1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH", "1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH"},
        {"@1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH ", "1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH"},
        {"1Short", "1short"},
        {"", ""},
        {" @ ", ""},
        {" @ frank ", "frank"},                               // blanks after the at sign
        {"gina@other@corvane.app", "gina@other@corvane.app"}, // domain after the first "@" only
        {"hal@corvane.app@corvane.app", "hal@corvane.app@corvane.app"},
    };
    for (const auto& c : cases) EXPECT_EQ(recipient_form(c.typed), c.stored) << c.typed;
}

TEST_F(WalletFile, ConcurrentUseIsSerialisedByTheWalletMutex)
{
    writeWallet(phraseWallet());
    std::atomic<int> wrong {0};
    auto worker = [&](int kind) {
        for (int i = 0; i < 30; ++i) {
            if (kind == 0) {
                const std::string address = receive_address();
                if (!address.empty() && address != "18Dt6boZSx747Hw4oSStUFZZhsc8RPKPn6") ++wrong;
            } else if (kind == 1) {
                unload_wallet();
            } else {
                refresh_wallet();
                const WalletView v = wallet_view();
                if (v.loaded && v.receive_address != "18Dt6boZSx747Hw4oSStUFZZhsc8RPKPn6") ++wrong;
            }
        }
    };
    std::vector<std::thread> threads;
    for (int kind : {0, 1, 2, 0}) threads.emplace_back(worker, kind);
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(receive_address(), "18Dt6boZSx747Hw4oSStUFZZhsc8RPKPn6");
}
