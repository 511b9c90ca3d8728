#include "app/update_check.h"

#include "platform/http.h"
#include "platform/service_host.h"
#include "platform/worker.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace kestrel {

namespace {

constexpr size_t kPageCap = 400000;
constexpr size_t kTail = 24000;

size_t findNoCase(const std::string& text, const std::string& word, size_t from = 0)
{
    if (word.empty() || text.size() < word.size()) return std::string::npos;
    for (size_t i = from; i + word.size() <= text.size(); ++i) {
        size_t k = 0;
        while (k < word.size() &&
               std::tolower(static_cast<unsigned char>(text[i + k])) == static_cast<unsigned char>(word[k]))
            ++k;
        if (k == word.size()) return i;
    }
    return std::string::npos;
}

void replaceAll(std::string& text, const std::string& from, const std::string& to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

} // namespace

std::string fetchDownloadPage()
{
    platform::HttpRequest request;
    request.url = platform::downloadUrl(platform::downloadPagePath());
    request.userAgent = "Kestrel/0.003";
    // Name lookup and connect 8 s each, sending and receiving 15 s each.
    request.connectTimeoutMs = 16000;
    request.totalTimeoutMs = 46000;
    request.noSignal = true;
    request.bodyCap = kPageCap;
    platform::HttpResponse response;
    if (!platform::httpPerform(request, response)) return {};
    if (response.status < 200 || response.status > 399) return {};
    return response.body;
}

int parseBuildNumber(const std::string& text)
{
    size_t begin = 0, end = text.size();
    while (begin < end && static_cast<unsigned char>(text[begin]) <= 32) ++begin;
    while (end > begin && static_cast<unsigned char>(text[end - 1]) <= 32) --end;
    if (begin == end) return -1;
    const std::string t = text.substr(begin, end - begin);
    char* stop = nullptr;
    if (t.find('.') != std::string::npos) {
        const double value = std::strtod(t.c_str(), &stop);
        if (stop == t.c_str() || value < 0 || !std::isfinite(value) || value * 1000 > 2e9) return -1;
        return static_cast<int>(std::lround(value * 1000));
    }
    errno = 0;
    const long value = std::strtol(t.c_str(), &stop, 10);
    if (stop == t.c_str() || value < 0 || errno == ERANGE || value > 2000000000L) return -1;
    return static_cast<int>(value);
}

int findPublishedBuild(const std::string& page)
{
    std::string text = page.size() > kTail ? page.substr(page.size() - kTail) : page;
    replaceAll(text, "&nbsp;", " ");
    replaceAll(text, "&#160;", " ");
    replaceAll(text, "&NBSP;", " ");
    std::string plain;
    plain.reserve(text.size());
    bool inTag = false;
    for (char c : text) {
        if (inTag) {
            if (c == '>') {
                inTag = false;
                plain += ' ';
            }
        } else if (c == '<') {
            inTag = true;
        } else {
            plain += c;
        }
    }
    size_t at = std::string::npos;
    const size_t build = findNoCase(plain, "current build");
    if (build != std::string::npos) at = findNoCase(plain, "version", build);
    if (at == std::string::npos) {
        for (size_t next = findNoCase(plain, "version"); next != std::string::npos;
             next = findNoCase(plain, "version", next + 1))
            at = next;
    }
    if (at == std::string::npos) return -1;
    size_t i = at + 7;
    while (i < plain.size() && (plain[i] == ' ' || plain[i] == ':' || plain[i] == '=' || plain[i] == '\t')) ++i;
    size_t j = i;
    while (j < plain.size() && (std::isdigit(static_cast<unsigned char>(plain[j])) || plain[j] == '.')) ++j;
    if (j == i) return -1;
    return parseBuildNumber(plain.substr(i, j - i));
}

std::string downloadPageAddress()
{
    return platform::downloadUrl(platform::downloadPagePath());
}

void startUpdateCheck(std::function<void(long)> done)
{
    platform::runTask([done = std::move(done)] {
        const std::string body = fetchDownloadPage();
        const int latest = body.empty() ? -1 : findPublishedBuild(body);
        done(static_cast<long>(latest) + 1);
    });
}

} // namespace kestrel
