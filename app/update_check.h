// The update check: once per run the program reads the maker's download
// page, finds the build number published there and compares it with its own.
// Nothing is downloaded or installed; the front end asks the user whether to
// open the page.
#pragma once

#include <functional>
#include <string>

namespace kestrel {

// This build, in thousandths of a version (0.003).
constexpr int kThisBuild = 3;

// GET of the download page: the body for statuses 200 to 399 (reading stops
// once it passes 400,000 bytes), empty for any other status or failure.
std::string fetchDownloadPage();

// The build number the page names after "current build ... version" (else
// after the last "version"), in thousandths; -1 when there is none. Only the
// page's last 24,000 bytes are read; markup and non-breaking spaces count as
// blanks.
int findPublishedBuild(const std::string& page);

// "0.004" -> 4, "1.25" -> 1250 (with a dot: the number times 1000, rounded),
// "5" -> 5 (without: the integer itself); -1 for empty, non-numeric or
// negative text.
int parseBuildNumber(const std::string& text);

// One check on a worker (platform::runTask): fetch, find, then done(latest + 1),
// 0 when the check failed.
void startUpdateCheck(std::function<void(long)> done);

// The download page's address, for the prompt and the browser.
std::string downloadPageAddress();

} // namespace kestrel
