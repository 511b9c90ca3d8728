// DNS SRV lookups (libresolv's res_query), the way paymail discovery needs
// them: every SRV record of a name, in answer order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

struct SrvRecord {
    uint16_t priority = 0;
    uint16_t weight = 0;
    uint16_t port = 0;
    std::string target; // host name without the root's trailing dot ("." for the root itself)
};

// Reads the SRV records of a DNS answer message (records of other types are
// skipped). False when the message is malformed; records then stays empty.
bool parseSrvAnswer(const uint8_t* message, size_t size, std::vector<SrvRecord>& records);

// Asks the system's resolver for name's SRV records; empty on any failure.
std::vector<SrvRecord> querySrv(const std::string& name);

} // namespace platform
