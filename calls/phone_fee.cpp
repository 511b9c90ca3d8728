#include "calls/phone_fee.h"

#include "phone/phone_store.h"
#include "phone/web_requests.h"
#include "platform/bounded_json.h"
#include "platform/clock.h"
#include "platform/config.h"
#include "platform/service_host.h"
#include "services/identity.h"
#include "services/paymail_claim.h"
#include "services/tessera_link.h"
#include "wallet/encoding.h"
#include "wallet/keys.h"
#include "wallet/spend.h"
#include "wallet/spend_result.h"
#include "wallet/wallet_file.h"
#include "wallet/wallet_state.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>

namespace kestrel {

namespace wallet = cv_tessera_wallet;
using json = nlohmann::json;

namespace {

constexpr int kLookupMs = 4000;
constexpr int kChainBackoffMs = 8000;
constexpr size_t kMinAddressLength = 26;
constexpr int64_t kSatsPerCoin = 100'000'000;

int storedFee()
{
    platform::LockGuard lock(storeMutex());
    return std::clamp<int>(phoneStore().phoneFee, 1, 100);
}

// The greeting address when a greeting is published, else empty.
std::string ownGreetingAddressIfOn()
{
    {
        platform::LockGuard lock(storeMutex());
        if (!phoneStore().greetOn) return {};
    }
    platform::LockGuard lock(wallet::wallet_mutex());
    if (!wallet::load_wallet() || !wallet::wallet_state().keys_ready) return {};
    return wallet::greeting_address();
}

bool answeredOk(const std::string& answer)
{
    if (answer.find("\"ok\"") == std::string::npos) return false;
    const json parsed = platform::parseBounded(answer);
    return parsed.is_object() && parsed.contains("ok") && parsed["ok"] == true;
}

} // namespace

std::string phoneRecordMessage(const std::string& alias, const std::string& pubkey, const std::string& greetAddress,
                               int fee, int64_t ts)
{
    return "CV-PAYMAIL-PHONE|" + alias + "|" + pubkey + "|" + greetAddress + "|" + std::to_string(fee) + "|" +
           std::to_string(ts);
}

bool publishPhoneRecord()
{
    const std::string alias = ownAlias();
    if (!isTesseraConnected() || alias.empty()) return false;
    const int fee = storedFee();
    const std::string greetAddress = ownGreetingAddressIfOn();
    const int64_t ts = platform::unixSeconds();
    std::string pubkey;
    {
        platform::LockGuard lock(wallet::wallet_mutex());
        pubkey = wallet::ascii_lower(wallet::wallet_state().identity_pub);
    }
    if (pubkey.size() != 66) return false;
    const IdentitySignature signature = identitySign(phoneRecordMessage(alias, pubkey, greetAddress, fee, ts));
    if (!signature.ok || wallet::ascii_lower(signature.publicKey) != pubkey) return false;
    const json record = {{"alias", alias},   {"greetAddress", greetAddress}, {"phoneFee", fee},
                         {"pubkey", pubkey}, {"sig", signature.signature},   {"ts", ts}};
    return answeredOk(webPostJson(platform::serviceHost(), platform::phoneRecordPath(), record.dump()));
}

PhoneFeeRecord phoneFeeFromDocument(const std::string& body)
{
    PhoneFeeRecord published;
    const json document = platform::parseBounded(body);
    if (!document.is_object()) return published;
    const auto fee = document.find("phoneFee");
    if (fee != document.end() && fee->is_number()) {
        const double value = fee->get<double>();
        if (value >= 1 && value <= 100) published.feePerSecond = static_cast<int>(value);
    }
    const auto greet = document.find("greetAddress");
    if (greet != document.end() && greet->is_string() &&
        greet->get_ref<const std::string&>().size() >= kMinAddressLength)
        published.greetingAddress = greet->get<std::string>();
    return published;
}

PhoneFeeRecord fetchPhoneFeeRecord(const std::string& handle)
{
    const std::string paymail = wallet::percent_encode(handle) + "@" + platform::serviceDomain();
    return phoneFeeFromDocument(
        serviceGet(platform::identityDocumentPath(paymail), kLookupMs, &chainBackoffSlot(), kChainBackoffMs));
}

bool payCallee(const std::string& address, int feePerSecond)
{
    if (address.empty()) return false;
    const int64_t sats = int64_t {std::clamp(feePerSecond, 1, 100)} * 10;
    return wallet::read_spend_result(wallet::spend(address, sats, "")).sent();
}

int64_t connectionFeeSats(double gbp)
{
    if (!(gbp > 0) || !std::isfinite(gbp)) return 0;
    const double sats = std::floor(0.01 / gbp * static_cast<double>(kSatsPerCoin) + 0.5);
    return sats >= 1 && sats <= static_cast<double>(kSatsPerCoin) ? static_cast<int64_t>(sats) : 0;
}

void payConnectionFee()
{
    const json rate = platform::parseBounded(
        webGet(platform::downloadHost(), platform::rateFilePath(), kLookupMs, &chainBackoffSlot(), kChainBackoffMs));
    if (!rate.is_object() || !rate.contains("ok") || rate["ok"] != true) return;
    const double gbp = rate.contains("gbp") && rate["gbp"].is_number() ? rate["gbp"].get<double>() : 0;
    const int64_t sats = connectionFeeSats(gbp);
    const std::string address = platform::config().connection_fee_address;
    if (sats > 0 && !address.empty()) wallet::spend(address, sats, "");
}

void syncPhoneRecord()
{
    const std::string alias = ownAlias();
    if (!isTesseraConnected() || alias.empty()) return;
    const int fee = storedFee();
    const std::string ours = ownGreetingAddressIfOn();
    const PhoneFeeRecord published = fetchPhoneFeeRecord(alias);
    if (published.feePerSecond == fee && published.greetingAddress == ours) return;
    if (publishPhoneRecord()) {
        if (!ours.empty())
            setStatusText("Greeting published.");
        else if (fee >= 2)
            setStatusText("Callers pay " + std::to_string(fee) + " sat/s.");
    } else if (fee >= 2 || !ours.empty()) {
        setStatusText("The paymail host has not taken the fee yet.");
    }
}

void onFeeChanged()
{
    if (publishPhoneRecord())
        setStatusText("Callers pay " + std::to_string(storedFee()) + " sat/s.");
    else
        setStatusText("The paymail host has not taken the fee yet.");
}

} // namespace kestrel
