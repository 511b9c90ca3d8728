// The chain API's bulk balance answer: never crashes, and the highest used
// index is one of the indexes asked about, or -1.
#include "services/balance.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::vector<kestrel::IndexedAddress> asked = {
        {4, "1A"}, {5, "1B"}, {7, "1BoatSLRHtKNngkdXEeobR76b53LETtpyT"}};
    const std::string body(reinterpret_cast<const char*>(data), size);
    int64_t highest = 99;
    const bool read = kestrel::readBulkBalances(body, asked, highest);
    if (highest != -1 && highest != 4 && highest != 5 && highest != 7) std::abort();
    if (!read && highest != -1) std::abort();
    return 0;
}
