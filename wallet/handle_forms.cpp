#include "wallet/handle_forms.h"

#include "platform/config.h"
#include "wallet/encoding.h"

namespace cv_tessera_wallet {

std::string recipient_form(std::string_view text)
{
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    auto trim = [&](std::string_view& t) {
        while (!t.empty() && blank(t.front())) t.remove_prefix(1);
        while (!t.empty() && blank(t.back())) t.remove_suffix(1);
    };
    trim(text);
    while (!text.empty() && (text.front() == '@' || text.front() == '$')) text.remove_prefix(1);
    trim(text);
    if (text.size() >= 26 && text[0] == '1') return std::string(text);
    std::string dest = ascii_lower(text);
    const size_t at = dest.find('@');
    if (at != std::string::npos && dest.compare(at + 1, std::string::npos, platform::config().service_domain) == 0)
        dest.resize(at);
    return dest;
}

std::string signer_form(std::string_view text)
{
    std::string name = trim_blanks(text);
    if (!name.empty() && (name[0] == '@' || name[0] == '$')) name = trim_blanks(std::string_view(name).substr(1));
    return ascii_lower(name);
}

std::string alias_form(std::string_view text)
{
    size_t begin = 0;
    while (begin < text.size() && (text[begin] == '@' || text[begin] == '$' || text[begin] == ' ')) ++begin;
    size_t end = text.size();
    while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\r' || text[end - 1] == '\n')) --end;
    std::string alias(text.substr(begin, end - begin));
    const size_t at = alias.find('@');
    if (at != std::string::npos) alias.resize(at);
    return ascii_lower(alias);
}

std::string registry_key_form(std::string_view text)
{
    std::string key;
    for (const char c : alias_form(text))
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_') key += c;
    return key;
}

std::string bare_handle(std::string_view text)
{
    size_t begin = 0;
    while (begin < text.size() && (text[begin] == ' ' || text[begin] == '@')) ++begin;
    if (begin < text.size() && text[begin] == '$') ++begin;
    while (begin < text.size() && text[begin] == ' ') ++begin;
    std::string handle(text.substr(begin));
    const size_t at = handle.find('@');
    if (at != std::string::npos) handle.resize(at);
    while (!handle.empty() && handle.back() == ' ') handle.pop_back();
    return handle;
}

std::string comparison_form(std::string_view text)
{
    return ascii_lower(bare_handle(text));
}

std::string file_id_form(std::string_view text)
{
    std::string id;
    for (const char c : comparison_form(text)) {
        const bool keep =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (keep) id += c;
    }
    return id;
}

} // namespace cv_tessera_wallet
