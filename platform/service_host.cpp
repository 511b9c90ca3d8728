#include "platform/service_host.h"

#include "platform/config.h"
#include "platform/http.h"

namespace platform {

std::string serviceHost()
{
    return config().service_host;
}

std::string serviceDomain()
{
    return config().service_domain;
}

std::string serviceHostUrl(const std::string& path)
{
    return "https://" + serviceHost() + path;
}

std::string serviceDomainUrl(const std::string& path)
{
    return "https://" + serviceDomain() + path;
}

std::string localServiceUrl(const std::string& path)
{
    return "https://127.0.0.1:25443" + path;
}

std::string oracleTxidsPath(const std::string& address, int limit)
{
    return "/oi/oracle/cphone/txids?address=" + address + "&kind=all&limit=" + std::to_string(limit);
}

std::string decodedTxPath(const std::string& txid)
{
    return "/oi/tx/" + txid;
}

std::string submitPath()
{
    return "/oi/submit";
}

std::string handleAddressPath(const std::string& paymail)
{
    return "/api/bsvalias/address/" + paymail;
}

std::string identityDocumentPath(const std::string& paymail)
{
    return "/api/bsvalias/id/" + paymail;
}

std::string publicProfilePath(const std::string& keyAtDomain)
{
    return "/api/bsvalias/public-profile/" + keyAtDomain;
}

std::string phoneRecordPath()
{
    return "/api/paymail/phone";
}

std::string claimPath()
{
    return "/api/paymail/claim";
}

std::string quotaPath(const std::string& identityKey)
{
    return "/api/paymail/quota/" + identityKey;
}

std::string bsvaliasDiscoveryPath()
{
    return "/.well-known/bsvalias";
}

std::string downloadHost()
{
    std::string host, path;
    splitUrl(config().download_site, host, path);
    return host;
}

std::string downloadUrl(const std::string& path)
{
    return "https://" + downloadHost() + path;
}

std::string downloadPagePath()
{
    return "/cphone/";
}

std::string rateFilePath()
{
    return "/c-rate.json";
}

} // namespace platform
