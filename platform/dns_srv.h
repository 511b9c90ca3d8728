// DNS SRV lookups (libresolv's res_query), the way paymail discovery needs
// them: every SRV record of a name, in answer order, and the choice of a
// domain's bsvalias discovery host among them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
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

// A host name as paymail domains and SRV targets must be: 3 to 253 ASCII
// letters, digits, "-" and "."; at least one "."; no leading or trailing "."
// and no "..".
bool isValidHostName(std::string_view host);

// The discovery host among a domain's SRV records: only port 443 counts; the
// target loses its trailing dots, is lower-cased and must be a valid host
// name; the lowest priority wins, a later record winning ties (weight is
// ignored). Empty when no record qualifies.
std::string selectBsvaliasHost(const std::vector<SrvRecord>& records);

// selectBsvaliasHost of the SRV records of "_bsvalias._tcp." + domain; empty
// when the lookup fails or nothing qualifies.
std::string findBsvaliasHost(const std::string& domain);

} // namespace platform
