#include "platform/dns_srv.h"

#include <arpa/nameser.h>
#include <netinet/in.h>
#include <resolv.h>

#include <algorithm>

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

std::vector<SrvRecord> querySrvWith(const std::string& name, const SrvQuery& query)
{
    // Room for the largest DNS message. res_nquery answers the whole
    // answer's length even when it cut the answer to fit: only what the
    // buffer holds may be read.
    std::vector<uint8_t> answer(65535);
    const int reported = query(name, answer.data(), static_cast<int>(answer.size()));
    if (reported <= 0) return {};
    const size_t size = std::min(static_cast<size_t>(reported), answer.size());
    std::vector<SrvRecord> records;
    if (!parseSrvAnswer(answer.data(), size, records)) return {};
    return records;
}

std::vector<SrvRecord> querySrv(const std::string& name)
{
    return querySrvWith(name, [](const std::string& text, uint8_t* answer, int capacity) {
        struct __res_state state {};
        if (res_ninit(&state) != 0) return -1;
        const int size = res_nquery(&state, text.c_str(), ns_c_in, ns_t_srv, answer, capacity);
        res_nclose(&state);
        return size;
    });
}

bool isValidHostName(std::string_view host)
{
    if (host.size() < 3 || host.size() > 253) return false;
    if (host.front() == '.' || host.back() == '.' || host.find("..") != std::string_view::npos) return false;
    if (host.find('.') == std::string_view::npos) return false;
    for (const char c : host) {
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        const bool digit = c >= '0' && c <= '9';
        if (!letter && !digit && c != '-' && c != '.') return false;
    }
    return true;
}

std::string selectBsvaliasHost(const std::vector<SrvRecord>& records)
{
    std::string best;
    int bestPriority = 65535;
    for (const SrvRecord& record : records) {
        if (record.port != 443 || record.target.empty()) continue;
        std::string target = record.target;
        while (!target.empty() && target.back() == '.') target.pop_back();
        for (char& c : target)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (!isValidHostName(target) || record.priority > bestPriority) continue;
        bestPriority = record.priority;
        best = std::move(target);
    }
    return best;
}

std::string findBsvaliasHost(const std::string& domain)
{
    return selectBsvaliasHost(querySrv("_bsvalias._tcp." + domain));
}

} // namespace platform
