#include "platform/chain_api.h"

#include "platform/config.h"
#include "platform/http.h"

namespace platform {

static std::string chainUrl(const std::string& suffix)
{
    return config().chain_api + suffix;
}

std::string chainTxUrl(const std::string& txid)
{
    return chainUrl("/tx/" + txid);
}

std::string chainTxHexUrl(const std::string& txid)
{
    return chainUrl("/tx/" + txid + "/hex");
}

std::string chainTxDecodedUrl(const std::string& txid)
{
    return chainUrl("/tx/" + txid + "/decoded");
}

std::string chainBroadcastUrl()
{
    return chainUrl("/tx/raw");
}

std::string chainUnspentAllUrl(const std::string& address)
{
    return chainUrl("/address/" + address + "/unspent/all");
}

std::string chainUnspentUrl(const std::string& address)
{
    return chainUrl("/address/" + address + "/unspent");
}

std::string chainUnconfirmedUnspentUrl(const std::string& address)
{
    return chainUrl("/address/" + address + "/unconfirmed/unspent");
}

std::string chainHistoryUrl(const std::string& address)
{
    return chainUrl("/address/" + address + "/history");
}

std::string chainUnconfirmedHistoryUrl(const std::string& address)
{
    return chainUrl("/address/" + address + "/unconfirmed/history");
}

std::string chainBulkBalanceUrl()
{
    return chainUrl("/addresses/balance");
}

// The configured base split after the scheme: the host, then the rest.
static void splitBase(std::string& host, std::string& path)
{
    splitUrl(config().chain_api, host, path);
}

std::string chainHost()
{
    std::string host, path;
    splitBase(host, path);
    return host;
}

std::string chainPath(const std::string& suffix)
{
    std::string host, path;
    splitBase(host, path);
    return path + suffix;
}

std::string arcSubmitUrl()
{
    return config().arc_api + "/v1/tx";
}

std::string ordinalsUnspentUrl(const std::string& address)
{
    return config().ordinals_api + "/txos/address/" + address + "/unspent";
}

} // namespace platform
