#include "platform/dns_srv.h"

#include <gtest/gtest.h>

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
