// Phone payload sends per second in fast mode against a running devnet, and
// the time to build and sign the same transaction without the network.
//
// usage: bench_phone_send --devnet START_LINE.json --wallet-id ID [--sends N] [--payload-bytes B]
// with LOCALAPPDATA pointing at the data folder that holds the wallet (made
// by the Tessera stand-in). bench/phone-send.mjs sets all this up and runs
// it beside @bsv/sdk. Prints one JSON line; not part of the test suite.
#include "devnet_client.h"
#include "platform/config.h"
#include "wallet/address.h"
#include "wallet/broadcast.h"
#include "wallet/building.h"
#include "wallet/coins.h"
#include "wallet/phone_spend.h"
#include "wallet/wallet_file.h"
#include "wallet/wallet_state.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

using namespace cv_tessera_wallet;
using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kBob = "1BoatSLRHtKNngkdXEeobR76b53LETtpyT";

double millis(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

double median(std::vector<double> values)
{
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size())))];
}

// Median time to build and sign one payload transaction from a cached coin,
// as phone_send does between picking and submitting.
double buildAndSignMs(const std::string& payload, const std::string& second, int rounds)
{
    std::vector<Coin> coins = phone_coins();
    if (coins.empty()) return 0;
    Bytes phone, fee, change;
    std::string error;
    decode_address(kBob, phone);
    decode_address(second, fee);
    choose_change(change, error);
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        const auto start = Clock::now();
        const std::vector<Output> requested {
            {1, p2pkh_locking_script(phone)}, {1, p2pkh_locking_script(fee)}, {0, data_script(payload)}};
        std::vector<Coin> inputs;
        std::vector<Output> outputs;
        int64_t paid = 0;
        build_outputs({coins.back()}, inputs, outputs, change, requested, paid, error, 0, 100);
        sign_inputs(inputs, outputs);
        const Bytes raw = serialize(inputs, outputs, false);
        const std::string hex = hex_encode(raw);
        const std::string id = txid(raw);
        times.push_back(millis(Clock::now() - start));
        if (hex.empty() || id.empty()) return 0;
    }
    return median(times);
}

} // namespace

int main(int argc, char** argv)
{
    std::string devnet_file, wallet_id;
    int sends = 100;
    size_t payload_bytes = 150;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--devnet")) devnet_file = argv[i + 1];
        if (!std::strcmp(argv[i], "--wallet-id")) wallet_id = argv[i + 1];
        if (!std::strcmp(argv[i], "--sends")) sends = std::max(1, std::atoi(argv[i + 1]));
        if (!std::strcmp(argv[i], "--payload-bytes")) payload_bytes = std::max(1, std::atoi(argv[i + 1]));
    }
    // The start line is read the way the integration tests read theirs.
    if (!devnet_file.empty()) setenv("KESTREL_DEVNET_JSON", devnet_file.c_str(), 1);
    Devnet devnet;
    if (devnet_file.empty() || wallet_id.empty() || !devnet.load()) {
        std::fprintf(stderr, "usage: bench_phone_send --devnet START_LINE.json --wallet-id ID [--sends N]\n");
        return 2;
    }
    devnet.useConfig();
    const std::string second = platform::config().message_fee_address;

    set_bound_wallet_id(wallet_id);
    if (!load_wallet()) {
        std::fprintf(stderr, "bench_phone_send: the wallet does not load\n");
        return 1;
    }
    // One confirmed coin per send (fast mode spends only confirmed coins).
    const std::vector<int64_t> values(static_cast<size_t>(sends) + 5, 2000);
    devnet.fund(wallet_view().receive_address, values);
    std::string message;
    refresh_phone_coins(true, message);

    const std::string payload(payload_bytes, 'p');
    const double build_ms = buildAndSignMs(payload, second, 200);

    std::vector<double> times;
    int failures = 0;
    const auto begin = Clock::now();
    for (int i = 0; i < sends; ++i) {
        const auto start = Clock::now();
        const std::string result = phone_send(kBob, payload, 100, false, second);
        times.push_back(millis(Clock::now() - start));
        if (result.rfind("success: ", 0) != 0) {
            ++failures;
            std::fprintf(stderr, "send %d: %s\n", i, result.c_str());
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    wait_for_background_posts(15000);

    const json report = {{"sends", sends},
                         {"failures", failures},
                         {"seconds", seconds},
                         {"sends_per_second", static_cast<double>(sends) / seconds},
                         {"median_ms", median(times)},
                         {"p90_ms", percentile(times, 0.9)},
                         {"build_sign_ms", build_ms},
                         {"payload_bytes", payload_bytes}};
    std::printf("%s\n", report.dump().c_str());
    return failures == 0 ? 0 : 1;
}
