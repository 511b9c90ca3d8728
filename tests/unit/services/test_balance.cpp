// The shown balance: the face rules around a spend (with a clock the test
// moves), the face file and its address check, the chain API's bulk balance
// answers, and the receive-address discovery against a local HTTPS server
// playing WhatsOnChain's "/addresses/balance".
#include "services/balance.h"
#include "platform/clock.h"

#include "https_test_server.h"
#include "wallet/coins.h"
#include "wallet/keys.h"
#include "wallet/wallet_files.h"

#include <gtest/gtest.h>

#include <mutex>
#include <set>

using namespace kestrel;
using json = nlohmann::json;
namespace w = cv_tessera_wallet;

namespace {

class Face : public WalletFiles {
protected:
    void SetUp() override
    {
        WalletFiles::SetUp();
        w::reset_coin_state();
        writeWallet(phraseWallet());
        ASSERT_TRUE(w::load_wallet());
        resetFace();
        platform::setMockTime(1'700'000'000'000);
    }
    void TearDown() override
    {
        flushFaceFile();
        platform::setMockTime(0);
        resetFace();
        w::reset_coin_state();
        WalletFiles::TearDown();
    }
    std::string receive() const { return w::wallet_view().receive_address; }
    void writeFace(const json& content) const
    {
        platform::makeFolders(temp.corvane() + "/tx_hist");
        ASSERT_TRUE(platform::replaceFileAtomically(faceFilePath(), content.dump()));
    }
};

} // namespace

TEST_F(Face, RulesAroundASpend)
{
    const struct {
        const char* what;
        int64_t face; // before the spend; -1: none yet
        int64_t spent;
        int64_t atSpend, shownAtSpend; // fresh balance when the spend is noted
        int seconds;                   // until the next plain refresh
        int64_t later, shownLater;
    } cases[] = {
        {"the chain has not seen the spend", 100000, 5000, 100000, 95000, 10, 95000, 95000},
        {"1000 below the expected face", 100000, 5000, 94000, 94000, 10, 94000, 94000},
        {"9000 below the expected face", 100000, 5000, 86000, 95000, 10, 86000, 86000},
        {"above the old face", 100000, 5000, 120000, 95000, 10, 120000, 120000},
        {"2,000,000 more 30 s later", 100000, 5000, 95000, 95000, 30, 2095000, 95000},
        {"2,000,000 more 45 s later", 100000, 5000, 95000, 95000, 45, 2095000, 2095000},
        {"1,000,000 more 30 s later", 100000, 5000, 95000, 95000, 30, 1095000, 1095000},
        {"a spend above the face", 3000, 5000, 3000, 0, 10, 1000001, 0},
        {"no face before the spend", -1, 5000, 100000, 100000, 10, 3000000, 3000000},
    };
    for (const auto& c : cases) {
        resetFace();
        if (c.face >= 0) {
            EXPECT_EQ(adjustFace(c.face, 0), c.face);
        }
        EXPECT_EQ(adjustFace(c.atSpend, c.spent), c.shownAtSpend) << c.what;
        platform::advanceMockTime(c.seconds * 1000);
        EXPECT_EQ(adjustFace(c.later, 0), c.shownLater) << c.what;
        EXPECT_EQ(currentFace(), c.shownLater) << c.what;
        // An unknown balance changes nothing.
        EXPECT_EQ(adjustFace(-1, 0), -1);
        EXPECT_EQ(adjustFace(-1, 700), -1);
        EXPECT_EQ(currentFace(), c.shownLater) << c.what;
    }
    flushFaceFile();
    EXPECT_EQ(readFaceFile(receive()), 3000000);
}

TEST_F(Face, FaceFileBelongsToTheReceiveAddress)
{
    EXPECT_EQ(faceFilePath(), temp.corvane() + "/tx_hist/w1_face.json");
    adjustFace(4321, 0);
    flushFaceFile();
    std::string text;
    ASSERT_TRUE(platform::readFile(faceFilePath(), text));
    EXPECT_EQ(text, json({{"address", receive()}, {"sats", 4321}}).dump());

    // Without a live balance (no coin scan in this run) the file seeds the face.
    const struct {
        json content;
        int64_t face;
    } cases[] = {
        {{{"address", receive()}, {"sats", 777}}, 777},
        {{{"address", "1BoatSLRHtKNngkdXEeobR76b53LETtpyT"}, {"sats", 777}}, -1},
        {{{"address", receive()}, {"sats", "777"}}, -1},
        {{{"address", receive()}, {"sats", 7.5}}, -1},
        {{{"sats", 777}}, -1},
        {"not an object", -1},
    };
    for (const auto& c : cases) {
        resetFace();
        writeFace(c.content);
        EXPECT_EQ(refreshFace(), c.face) << c.content.dump();
    }
    // A face in memory wins over the file.
    resetFace();
    adjustFace(55, 0);
    flushFaceFile();
    writeFace({{"address", receive()}, {"sats", 777}});
    EXPECT_EQ(refreshFace(), 55);
}

TEST(BulkBalances, WhichAddressesCountAsUsed)
{
    const std::vector<IndexedAddress> list = {{4, "1A"}, {5, "1B"}, {6, "1C"}, {7, "1D"}};
    auto entry = [](const char* address, const json& confirmed, const json& unconfirmed) {
        return json {{"address", address}, {"balance", {{"confirmed", confirmed}, {"unconfirmed", unconfirmed}}}};
    };
    const struct {
        const char* what;
        std::string body;
        bool ok;
        int64_t highest;
    } cases[] = {
        {"unconfirmed 1", json::array({entry("1A", 0, 1)}).dump(), true, 4},
        {"both 0", json::array({entry("1A", 0, 0)}).dump(), true, -1},
        {"confirmed", json::array({entry("1A", 5, 0), entry("1C", 7, -7), entry("1B", 0, 0)}).dump(), true, 6},
        {"a spend in the mempool only", json::array({entry("1D", 0, -3)}).dump(), true, -1},
        {"half rounds away from zero", json::array({entry("1B", 0, 0.5)}).dump(), true, 5},
        {"below a half", json::array({entry("1B", 0.49, 0.4)}).dump(), true, -1},
        {"confirmed fraction", json::array({entry("1C", 0.5, 0)}).dump(), true, 6},
        {"amounts as text", json::array({entry("1C", "5", "1")}).dump(), true, -1},
        {"invalid address", R"([{"address": "1B", "balance": null, "error": "Invalid address"}])", true, -1},
        {"amounts in the entry", R"([{"address": "1D", "confirmed": 3}])", true, 7},
        {"an object of entries", R"({"x": {"address": "1C", "balance": {"confirmed": 1}}, "y": 5})", true, 6},
        {"an address not asked about", json::array({entry("1Z", 9, 9)}).dump(), true, -1},
        {"empty", "[]", true, -1},
        {"not JSON", "<html>", false, -1},
        {"a number", "5", false, -1},
    };
    for (const auto& c : cases) {
        int64_t highest = 99;
        EXPECT_EQ(readBulkBalances(c.body, list, highest), c.ok) << c.what;
        EXPECT_EQ(highest, c.highest) << c.what;
    }
}

namespace {

// WhatsOnChain's bulk balance endpoint: answers from a set of funded addresses.
class AddressDiscovery : public WalletFiles {
protected:
    HttpsTestServer server;
    std::mutex lock;
    std::set<std::string> funded;
    std::vector<std::vector<std::string>> requests;
    int failStatus = 0;

    void SetUp() override
    {
        WalletFiles::SetUp();
        server.http.Post("/v1/bsv/main/addresses/balance", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard<std::mutex> guard(lock);
            const json body = json::parse(req.body, nullptr, false);
            std::vector<std::string> asked;
            json answer = json::array();
            for (const json& address : body["addresses"]) {
                asked.push_back(address);
                const int sats = funded.count(address) ? 1000 : 0;
                answer.push_back({{"address", address}, {"balance", {{"confirmed", sats}, {"unconfirmed", 0}}}});
            }
            requests.push_back(asked);
            if (failStatus) {
                res.status = failStatus;
                res.set_content("unavailable", "text/plain");
                return;
            }
            res.set_content(answer.dump(), "application/json");
        });
        server.start();
        server.useServer();
        writeWallet(phraseWallet()); // receive counter 3
        ASSERT_TRUE(w::load_wallet());
    }
    void TearDown() override
    {
        server.stop();
        platform::setConfig({});
        WalletFiles::TearDown();
    }
    static std::string receiveAddress(uint32_t index)
    {
        std::string priv, pub, address;
        EXPECT_TRUE(w::derive(w::wallet_path(w::kReceiveAccount, index), priv, pub, address));
        w::wipe_string(priv);
        return address;
    }
    size_t requestCount()
    {
        std::lock_guard<std::mutex> guard(lock);
        return requests.size();
    }
    uint32_t receiveCounter() const { return w::wallet_view().counters[w::kReceiveAccount]; }
    uint32_t savedReceiveCounter() const { return json::parse(readWallet())["recv"][1]; }
};

} // namespace

TEST_F(AddressDiscovery, FundsBeyondTheKnownIndexRaiseIt)
{
    funded = {receiveAddress(10), receiveAddress(57)};
    scanReceiveAddresses();
    ASSERT_EQ(requestCount(), 20u); // indexes 4 to 403, 20 at a time, in order
    EXPECT_EQ(requests[0].front(), receiveAddress(4));
    EXPECT_EQ(requests[0].size(), 20u);
    EXPECT_EQ(requests[19].back(), receiveAddress(403));
    EXPECT_EQ(receiveCounter(), 57u);
    EXPECT_EQ(savedReceiveCounter(), 57u);

    // The next scan resumes after the last index asked, up to 400 past the new one.
    scanReceiveAddresses();
    ASSERT_EQ(requestCount(), 23u);
    EXPECT_EQ(requests[20].front(), receiveAddress(404));
    EXPECT_EQ(requests[22].back(), receiveAddress(457));
    EXPECT_EQ(requests[22].size(), 14u);
    scanReceiveAddresses();
    EXPECT_EQ(requestCount(), 23u); // nothing left to ask
}

TEST_F(AddressDiscovery, AFailedBatchEndsTheScanAndTheNextStartsAgain)
{
    funded = {receiveAddress(30)};
    failStatus = 503;
    scanReceiveAddresses();
    EXPECT_EQ(requestCount(), 1u);
    EXPECT_EQ(receiveCounter(), 3u);
    EXPECT_EQ(savedReceiveCounter(), 3u);

    failStatus = 0;
    scanReceiveAddresses();
    ASSERT_EQ(requestCount(), 21u);
    EXPECT_EQ(requests[1].front(), receiveAddress(4));
    EXPECT_EQ(receiveCounter(), 30u);

    // Nothing found: the known index stays.
    int64_t highest = 0;
    EXPECT_TRUE(bulkAddressBalances({}, highest));
    EXPECT_EQ(highest, -1);
    EXPECT_EQ(requestCount(), 21u); // an empty list asks nothing
}
