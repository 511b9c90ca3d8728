// kestrel-cli: the phone without windows. Commands arrive on standard input,
// one a line; events leave on standard output, one JSON object a line,
// flushed at once; diagnostics go to standard error. It ends on "quit", at
// the end of its input, or on SIGINT or SIGTERM, always through the normal
// shutdown.
#include "app/startup.h"
#include "calls/phone_actions.h"
#include "phone/app_messages.h"
#include "platform/app_launch.h"
#include "platform/clock.h"
#include "platform/data_folder.h"
#include "platform/events.h"
#include "platform/worker.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <deque>
#include <fcntl.h>
#include <iostream>
#include <mutex>
#include <optional>
#include <poll.h>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <variant>
#include <vector>

namespace {

using json = nlohmann::json;
constexpr const char* kVersion = "0.003";

// --- Output: one printer thread writes every line --------------------------------------

// What the printer is handed: an event of the core, or a line made here.
using Outgoing = std::variant<platform::Event, json>;

struct Printer {
    std::mutex mutex;
    std::condition_variable wanted;
    std::deque<Outgoing> queue;
    bool closing = false;
    // The printer thread's own memory of what it last said.
    std::optional<std::pair<bool, std::string>> connection;
    std::string balanceLine; // empty until the wallet's balance is known
};

Printer& printer()
{
    static Printer p;
    return p;
}

void enqueue(Outgoing item)
{
    {
        std::lock_guard lock(printer().mutex);
        printer().queue.push_back(std::move(item));
    }
    printer().wanted.notify_one();
}

void writeLine(json line)
{
    line["t"] = platform::unixMillis();
    const std::string text = line.dump(-1, ' ', false, json::error_handler_t::replace);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

json event(const char* name)
{
    return json {{"event", name}};
}

// Balance and connection lines follow the state after any change the core
// announced, said only when they differ from the last said.
void followState(Printer& p)
{
    const kestrel::PhoneSnapshot snapshot = kestrel::phoneSnapshot();
    if (p.balanceLine != snapshot.balanceLine) {
        p.balanceLine = snapshot.balanceLine;
        json line = event("balance");
        line["text"] = snapshot.balanceLine;
        writeLine(line);
    }
}

void sayConnection(Printer& p, bool connected)
{
    const kestrel::PhoneSnapshot snapshot = kestrel::phoneSnapshot();
    const std::string handle = connected ? snapshot.handle : std::string();
    // Connected means the phone knows whose it is: the owner switch that
    // follows the link announces it, and settings made before would be lost.
    if (connected && handle.empty()) return;
    if (p.connection && p.connection->first == connected && p.connection->second == handle) return;
    p.connection = {connected, handle};
    json line = event("connection");
    line["connected"] = connected;
    line["handle"] = handle;
    writeLine(line);
}

void print(Printer& p, const platform::Event& e)
{
    switch (e.kind) {
    case platform::EventKind::Status: {
        json line = event("status");
        line["text"] = e.text;
        line["state"] = kestrel::callStateName(kestrel::phoneSnapshot().state);
        writeLine(line);
        followState(p);
        break;
    }
    case platform::EventKind::Message:
        if (e.message == kestrel::WM_PHONE_CONNECTION) sayConnection(p, e.param == 1);
        followState(p);
        break;
    case platform::EventKind::Record: {
        json line = event("record");
        line["kind"] = e.text;
        line["from"] = e.fields.size() > 0 ? e.fields[0] : "";
        line["id"] = e.fields.size() > 1 ? e.fields[1] : "";
        line["txid"] = e.fields.size() > 2 ? e.fields[2] : "";
        line["live"] = e.fields.size() > 3 && e.fields[3] == "1";
        writeLine(line);
        break;
    }
    case platform::EventKind::Log:
        std::fprintf(stderr, "%s\n", e.text.c_str());
        break;
    case platform::EventKind::Wallet:
        break;
    }
}

void runPrinter()
{
    Printer& p = printer();
    std::unique_lock lock(p.mutex);
    for (;;) {
        p.wanted.wait(lock, [&p] { return p.closing || !p.queue.empty(); });
        if (p.queue.empty()) return;
        Outgoing item = std::move(p.queue.front());
        p.queue.pop_front();
        lock.unlock();
        if (const auto* e = std::get_if<platform::Event>(&item))
            print(p, *e);
        else
            writeLine(std::get<json>(item));
        lock.lock();
    }
}

// --- Commands ---------------------------------------------------------------------------

void answerError(const std::string& text)
{
    json line = event("error");
    line["text"] = text;
    enqueue(line);
}

std::optional<int> wholeNumber(const std::string& text)
{
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

json snapshotLine()
{
    const kestrel::PhoneSnapshot snapshot = kestrel::phoneSnapshot();
    const kestrel::PhoneSettings settings = kestrel::phoneSettings();
    json line = event("snapshot");
    line["state"] = kestrel::callStateName(snapshot.state);
    line["status"] = snapshot.statusText;
    line["balance"] = snapshot.balanceLine;
    line["handle"] = snapshot.handle;
    line["connected"] = snapshot.connected;
    line["answerphone"] = settings.answerphone;
    line["fee"] = settings.phoneFee;
    return line;
}

std::optional<bool> onOff(const std::string& word)
{
    if (word == "on") return true;
    if (word == "off") return false;
    return std::nullopt;
}

// Answers false when the phone should end.
bool runCommand(const std::string& input)
{
    std::istringstream words(input);
    std::vector<std::string> args;
    for (std::string word; words >> word;) args.push_back(word);
    if (args.empty()) return true;
    const std::string& command = args[0];
    const size_t count = args.size();

    if (command == "quit" && count == 1) return false;
    if (command == "status" && count == 1) {
        enqueue(snapshotLine());
    } else if (command == "connect" && count == 1) {
        platform::runTask(kestrel::connectAction);
    } else if (command == "disconnect" && count == 1) {
        platform::runTask(kestrel::disconnectAction);
    } else if (command == "answerphone" && count == 2 && onOff(args[1])) {
        kestrel::setAnswerphone(*onOff(args[1]));
    } else if (command == "fee" && count == 2) {
        const std::optional<int> fee = wholeNumber(args[1]);
        if (!fee || !kestrel::setPhoneFee(*fee)) {
            answerError("The fee is a whole number of satoshis a second, 1 to 100.");
            return true;
        }
    } else {
        answerError("Unknown command or bad argument: " + input);
    }
    return true;
}

// --- Signals and the input loop ------------------------------------------------------------

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

void installSignals()
{
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

// Reads commands until quit, end of input or a signal.
void readCommands()
{
    std::string pending;
    for (;;) {
        pollfd fds[3] = {{STDIN_FILENO, POLLIN, 0}, {signalPipe[0], POLLIN, 0}, {kestrel::announceSocket(), POLLIN, 0}};
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents & POLLIN) return;
        if (fds[2].revents & POLLIN) platform::takeRaiseRequests(fds[2].fd); // nothing to bring forward
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            char buffer[4096];
            const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof(buffer));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                if (!pending.empty()) runCommand(pending);
                return;
            }
            pending.append(buffer, static_cast<size_t>(n));
            for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
                std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                if (!runCommand(line)) return;
            }
        }
    }
}

std::string executablePath()
{
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

void usage()
{
    std::fprintf(stderr, "usage: kestrel-cli [--instance DIR]\n"
                         "Commands on standard input: connect, disconnect, fee N, answerphone on|off, status, quit.\n");
}

} // namespace

int main(int argc, char** argv)
{
    kestrel::StartupOptions options;
    options.instance = platform::executableFolder();
    options.executablePath = executablePath();
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--instance" && i + 1 < argc) {
            options.instance = argv[++i];
        } else {
            usage();
            return arg == "--help" || arg == "-h" ? 0 : 2;
        }
    }

    installSignals();
    const std::string dataFolder = platform::dataFolder();
    std::thread printing;
    options.beforeWorkers = [&] {
        platform::installEventSink([](const platform::Event& e) {
            enqueue(e);
            return true;
        });
        printing = std::thread(runPrinter);
        json ready = event("ready");
        ready["version"] = kVersion;
        ready["data_folder"] = dataFolder;
        enqueue(ready);
    };
    switch (kestrel::startPhone(options)) {
    case kestrel::StartResult::AnotherInstance:
        std::fprintf(stderr, "kestrel-cli: another phone runs on the data folder %s; it was asked to come forward.\n",
                     dataFolder.c_str());
        return 0;
    case kestrel::StartResult::Failed:
        std::fprintf(stderr, "kestrel-cli: the phone could not start.\n");
        return 1;
    case kestrel::StartResult::Started:
        break;
    }

    readCommands();

    kestrel::stopPhone();
    platform::installEventSink({});
    {
        std::lock_guard lock(printer().mutex);
        printer().closing = true;
    }
    printer().wanted.notify_one();
    if (printing.joinable()) printing.join();
    return 0;
}
