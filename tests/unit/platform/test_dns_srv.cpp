#include "platform/dns_srv.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace platform;

namespace {

using Message = std::vector<uint8_t>;

void put16(Message& m, uint16_t v)
{
    m.push_back(static_cast<uint8_t>(v >> 8));
    m.push_back(static_cast<uint8_t>(v & 0xff));
}

void putName(Message& m, const std::string& dotted)
{
    size_t start = 0;
    while (start < dotted.size()) {
        const size_t dot = dotted.find('.', start);
        const std::string label = dotted.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        m.push_back(static_cast<uint8_t>(label.size()));
        m.insert(m.end(), label.begin(), label.end());
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    m.push_back(0);
}

struct Answer {
    uint16_t type;
    uint16_t priority, weight, port;
    std::string target; // empty: a compression pointer to the question's domain part
};

// A resolver's answer to "_bsvalias._tcp.pay.example" with the given records.
Message answerMessage(const std::vector<Answer>& answers)
{
    Message m;
    put16(m, 0x1234); // id
    put16(m, 0x8180); // response, recursion available
    put16(m, 1);
    put16(m, static_cast<uint16_t>(answers.size()));
    put16(m, 0);
    put16(m, 0);
    putName(m, "_bsvalias._tcp.pay.example");
    put16(m, 33);
    put16(m, 1);
    for (const Answer& a : answers) {
        put16(m, 0xC00C); // the question's name
        put16(m, a.type);
        put16(m, 1);
        put16(m, 0);
        put16(m, 300); // ttl
        Message rdata;
        put16(rdata, a.priority);
        put16(rdata, a.weight);
        put16(rdata, a.port);
        if (a.type == 33 && a.target.empty()) {
            put16(rdata, 0xC00C + 15); // "pay.example" inside the question
        } else if (a.type == 33) {
            putName(rdata, a.target);
        }
        put16(m, static_cast<uint16_t>(rdata.size()));
        m.insert(m.end(), rdata.begin(), rdata.end());
    }
    return m;
}

} // namespace

TEST(DnsSrv, ReadsRecordsInAnswerOrder)
{
    const Message message = answerMessage({{33, 10, 5, 443, "paymail.host.example"},
                                           {1, 0, 0, 0, "ignored"}, // an A record among them
                                           {33, 5, 0, 8443, "Other.Example"},
                                           {33, 5, 1, 443, ""}});
    std::vector<SrvRecord> records;
    ASSERT_TRUE(parseSrvAnswer(message.data(), message.size(), records));
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].priority, 10);
    EXPECT_EQ(records[0].weight, 5);
    EXPECT_EQ(records[0].port, 443);
    EXPECT_EQ(records[0].target, "paymail.host.example");
    EXPECT_EQ(records[1].port, 8443);
    EXPECT_EQ(records[1].target, "Other.Example");
    EXPECT_EQ(records[2].target, "pay.example"); // compressed against the question
}

TEST(DnsSrv, MalformedAnswersGiveNothing)
{
    const Message good = answerMessage({{33, 1, 1, 443, "host.example"}});
    std::vector<SrvRecord> records;
    for (size_t cut : {size_t(0), size_t(5), size_t(12), good.size() - 1}) {
        EXPECT_FALSE(parseSrvAnswer(good.data(), cut, records)) << cut;
        EXPECT_TRUE(records.empty());
    }
    Message loop = good;
    loop[loop.size() - 2] = 0xC0; // the target's last label becomes a pointer to itself
    loop[loop.size() - 1] = static_cast<uint8_t>(loop.size() - 2);
    EXPECT_FALSE(parseSrvAnswer(loop.data(), loop.size(), records));

    const Message none = answerMessage({});
    EXPECT_TRUE(parseSrvAnswer(none.data(), none.size(), records));
    EXPECT_TRUE(records.empty());
}

TEST(DnsSrv, HostNameRule)
{
    const struct {
        const char* host;
        bool valid;
    } cases[] = {
        {"pay.example", true},
        {"Pay-1.Example.com", true},
        {"a.b", true},
        {"ab", false},            // too short
        {"localhost", false},     // no dot
        {".pay.example", false},  // leading dot
        {"pay.example.", false},  // trailing dot
        {"pay..example", false},  // empty label
        {"pay_1.example", false}, // underscore
        {"pay.example:443", false},
        {"user@pay.example", false},
        {"pay example.com", false},
    };
    for (const auto& c : cases) EXPECT_EQ(isValidHostName(c.host), c.valid) << c.host;
    EXPECT_TRUE(isValidHostName(std::string(249, 'a') + ".com"));  // 253
    EXPECT_FALSE(isValidHostName(std::string(250, 'a') + ".com")); // 254
}

// The discovery host chosen from resolver answers: port 443 only, lowest
// priority, the later record winning ties, weight ignored.
TEST(DnsSrv, BsvaliasHostSelection)
{
    const struct {
        const char* name;
        std::vector<Answer> answers;
        const char* host;
    } cases[] = {
        {"none", {}, ""},
        {"only another port", {{33, 0, 0, 8443, "pay.host.example"}}, ""},
        {"one", {{33, 10, 0, 443, "Pay.Host.Example"}}, "pay.host.example"},
        {"lowest priority", {{33, 20, 0, 443, "b.example"}, {33, 10, 0, 443, "a.example"}}, "a.example"},
        {"lowest priority first", {{33, 10, 0, 443, "a.example"}, {33, 20, 0, 443, "b.example"}}, "a.example"},
        {"tie: later wins", {{33, 10, 90, 443, "a.example"}, {33, 10, 1, 443, "b.example"}}, "b.example"},
        {"better on 8443 ignored", {{33, 0, 0, 8443, "x.example"}, {33, 5, 0, 443, "y.example"}}, "y.example"},
        {"invalid target skipped", {{33, 1, 0, 443, "bad_host.example"}, {33, 9, 0, 443, "ok.example"}}, "ok.example"},
        {"root target skipped", {{33, 1, 0, 443, "."}, {33, 9, 0, 443, "ok.example"}}, "ok.example"},
        {"compressed target", {{33, 3, 0, 443, ""}}, "pay.example"},
        {"other types ignored", {{1, 0, 0, 443, "a.example"}, {33, 65535, 0, 443, "z.example"}}, "z.example"},
    };
    for (const auto& c : cases) {
        const Message message = answerMessage(c.answers);
        std::vector<SrvRecord> records;
        ASSERT_TRUE(parseSrvAnswer(message.data(), message.size(), records)) << c.name;
        EXPECT_EQ(selectBsvaliasHost(records), c.host) << c.name;
    }
    // Targets as some resolvers spell them, with the root's dot.
    EXPECT_EQ(selectBsvaliasHost({{1, 0, 443, "Pay.Example.."}}), "pay.example");
    EXPECT_EQ(selectBsvaliasHost({{1, 0, 443, ""}}), "");
}

// A resolver answers the full length of an answer it had to cut to the
// buffer; the parse must stay inside the buffer either way.
TEST(DnsSrv, LongAnswersAreReadWithinTheBuffer)
{
    std::vector<Answer> many;
    for (int i = 0; i < 400; ++i) many.push_back({33, 1, 1, 443, "host" + std::to_string(i) + ".example"});
    const Message big = answerMessage(many);
    ASSERT_GT(big.size(), 8192u); // more than a classic 8 KiB answer buffer holds

    const struct {
        const char* what;
        int extraReported; // reported length beyond the message
        size_t records;
    } cases[] = {
        {"whole answer", 0, 400}, {"reported longer than any buffer", 100000, 0}, // what is there is cut: malformed
    };
    for (const auto& c : cases) {
        const std::vector<SrvRecord> records =
            querySrvWith("_bsvalias._tcp.pay.example", [&](const std::string&, uint8_t* answer, int capacity) {
                const size_t copied = std::min(big.size(), static_cast<size_t>(capacity));
                std::copy(big.begin(), big.begin() + static_cast<std::ptrdiff_t>(copied), answer);
                return static_cast<int>(big.size()) + c.extraReported;
            });
        EXPECT_EQ(records.size(), c.records) << c.what;
        if (!records.empty()) {
            EXPECT_EQ(records.back().target, "host399.example");
        }
    }
}
