// The money around a call besides the records' own fees: the price per
// second a callee publishes in a signed phone record on the service's
// paymail host, the callee payments, and the connection fee the caller pays
// the service at each call (one penny of BSV at the maker's published rate).
//
// Every operation blocks on the network; callers run them on tasks.
#pragma once

#include <cstdint>
#include <string>

namespace kestrel {

// What a callee published: the price per second (1 to 100) and the greeting
// address (empty, or at least 26 characters).
struct PhoneFeeRecord {
    int feePerSecond = 1;
    std::string greetingAddress;
};

// "CV-PAYMAIL-PHONE|" + alias + "|" + pubkey + "|" + greetAddress + "|" + fee + "|" + ts.
std::string phoneRecordMessage(const std::string& alias, const std::string& pubkey, const std::string& greetAddress,
                               int fee, int64_t ts);

// Signs and posts the own phone record (fee, greeting address); true when
// the service took it.
bool publishPhoneRecord();

// The record published for handle; defaults when none can be read.
PhoneFeeRecord fetchPhoneFeeRecord(const std::string& handle);
// The reading rules of a published document (tests).
PhoneFeeRecord phoneFeeFromDocument(const std::string& body);

// Pays min(max(fee, 1), 100) x 10 satoshis to address; true on success.
bool payCallee(const std::string& address, int feePerSecond);

// The connection fee for one penny at the rate file's "gbp"; nothing when the
// rate is missing, not ok, zero, or gives more than 1 BSV.
void payConnectionFee();
// The satoshis of one penny at gbp pounds a coin; 0 when out of range.
int64_t connectionFeeSats(double gbp);

// After an owner switch: publishes the record when the published one differs.
void syncPhoneRecord();
// After the user changed the price: publishes and says so.
void onFeeChanged();

} // namespace kestrel
