// DNS SRV lookups (libresolv's res_query), the way paymail discovery needs
// them: every SRV record of a name, in answer order, and the choice of a
// domain's bsvalias discovery host among them.
#pragma once

#include <cstdint>
#include <functional>
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

// How querySrv asks, as res_nquery does: fills at most capacity bytes of
// answer and answers the answer's full length (which may exceed capacity
// when the answer was truncated), or -1.
using SrvQuery = std::function<int(const std::string& name, uint8_t* answer, int capacity)>;

// querySrv with another query (tests). The answer buffer holds the largest
// DNS message (64 KiB), and a reported length beyond it is cut to it.
std::vector<SrvRecord> querySrvWith(const std::string& name, const SrvQuery& query);

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
