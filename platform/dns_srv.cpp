#include "platform/dns_srv.h"

#include <arpa/nameser.h>
#include <netinet/in.h>
#include <resolv.h>

namespace platform {

bool parseSrvAnswer(const uint8_t* message, size_t size, std::vector<SrvRecord>& records)
{
    records.clear();
    if (!message || size == 0 || size > 65535) return false;
    ns_msg handle;
    if (ns_initparse(message, static_cast<int>(size), &handle) != 0) return false;
    const int count = ns_msg_count(handle, ns_s_an);
    std::vector<SrvRecord> found;
    for (int i = 0; i < count; ++i) {
        ns_rr record;
        if (ns_parserr(&handle, ns_s_an, i, &record) != 0) return false;
        if (ns_rr_type(record) != ns_t_srv) continue;
        const uint8_t* data = ns_rr_rdata(record);
        const uint16_t length = ns_rr_rdlen(record);
        if (length < 7) return false; // three 16-bit numbers and at least the root label
        SrvRecord srv;
        srv.priority = ns_get16(data);
        srv.weight = ns_get16(data + 2);
        srv.port = ns_get16(data + 4);
        char target[NS_MAXDNAME];
        // The target may be compressed against the whole message.
        if (ns_name_uncompress(ns_msg_base(handle), ns_msg_end(handle), data + 6, target, sizeof(target)) < 0)
            return false;
        srv.target = target;
        found.push_back(std::move(srv));
    }
    records = std::move(found);
    return true;
}

std::vector<SrvRecord> querySrv(const std::string& name)
{
    struct __res_state state {};
    if (res_ninit(&state) != 0) return {};
    uint8_t answer[NS_PACKETSZ * 16];
    const int size = res_nquery(&state, name.c_str(), ns_c_in, ns_t_srv, answer, sizeof(answer));
    res_nclose(&state);
    std::vector<SrvRecord> records;
    if (size <= 0 || !parseSrvAnswer(answer, static_cast<size_t>(size), records)) return {};
    return records;
}

} // namespace platform
