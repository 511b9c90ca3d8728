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
#include "platform/sync.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <deque>
#include <fcntl.h>
#include <iostream>
#include <optional>
#include <poll.h>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <variant>
#include <vector>

namespace {

using json = nlohmann::json;
constexpr const char* kVersion = "0.003";

// --- Answering by itself --------------------------------------------------------------------

// Seconds a ringing call waits before the phone answers it; -1 for never.
std::atomic<int> autoAnswerSeconds {-1};

// Called once for each call that starts ringing here.
void answerLater(const std::string& callId)
{
    const int seconds = autoAnswerSeconds;
    if (seconds < 0) return;
    platform::runTask([callId, seconds] {
        if (!platform::sleepForMillis(int64_t {seconds} * 1000, platform::shutdownToken())) return;
        const kestrel::PhoneSnapshot now = kestrel::phoneSnapshot();
        // The caller may have given up, or another call may ring by now.
        if (autoAnswerSeconds < 0 || now.state != kestrel::PhoneCallState::Ringing || now.callId != callId) return;
        kestrel::answerAction();
    });
}

// --- Output: one printer thread writes every line --------------------------------------

// What the printer is handed: an event of the core, or a line made here.
using Outgoing = std::variant<platform::Event, json>;

struct Printer {
    platform::Mutex mutex;
    std::condition_variable wanted;
    std::deque<Outgoing> queue GUARDED_BY(mutex);
    bool closing GUARDED_BY(mutex) = false;
    // The printer thread's own memory of what it last said.
    std::optional<std::pair<bool, std::string>> connection;
    std::string balanceLine; // empty until the wallet's balance is known
    std::optional<std::tuple<std::string, std::string, std::string>> callState; // state, peer, call id
};

Printer& printer()
{
    static Printer p;
    return p;
}

void enqueue(Outgoing item)
{
    {
        platform::LockGuard lock(printer().mutex);
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
    const std::tuple<std::string, std::string, std::string> call {kestrel::callStateName(snapshot.state),
                                                                  snapshot.peerHandle, snapshot.callId};
    if (!p.callState || *p.callState != call) {
        if (snapshot.state == kestrel::PhoneCallState::Ringing &&
            (!p.callState || std::get<0>(*p.callState) != "Ringing" || std::get<2>(*p.callState) != snapshot.callId))
            answerLater(snapshot.callId);
        p.callState = call;
        json line = event("state");
        line["state"] = std::get<0>(call);
        line["peer"] = std::get<1>(call);
        line["call_id"] = std::get<2>(call);
        writeLine(line);
    }
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

std::string field(const platform::Event& e, size_t i)
{
    return i < e.fields.size() ? e.fields[i] : std::string();
}

int64_t number(const std::string& text)
{
    int64_t value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

void printAudio(const platform::Event& e)
{
    if (e.text == "sent") {
        json line = event("audio_sent");
        line["n"] = number(field(e, 0));
        line["bytes"] = number(field(e, 1));
        line["ms"] = number(field(e, 2));
        line["sent"] = field(e, 3) == "1";
        writeLine(line);
    } else if (e.text == "received") {
        json line = event("audio_received");
        line["n"] = number(field(e, 0));
        line["bytes"] = number(field(e, 1));
        line["txid"] = field(e, 2);
        writeLine(line);
    } else if (e.text == "message") {
        json line = event("message");
        line["from"] = field(e, 0);
        line["id"] = field(e, 1);
        line["secs"] = number(field(e, 2));
        line["txid"] = field(e, 3);
        writeLine(line);
    } else if (e.text == "device") {
        json line = event("device");
        line["kind"] = field(e, 0);
        line["name"] = field(e, 1);
        line["first_frame_t"] = number(field(e, 2));
        writeLine(line);
    }
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
        if (e.message == kestrel::WM_PHONE_RING) writeLine(event("ring"));
        if (e.message == kestrel::WM_PHONE_PLAYBACK_DONE) writeLine(event("playback_done"));
        followState(p);
        break;
    case platform::EventKind::Audio:
        printAudio(e);
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
    platform::UniqueLock lock(p.mutex);
    for (;;) {
        p.wanted.wait(lock.native(), [&p]() REQUIRES(p.mutex) { return p.closing || !p.queue.empty(); });
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

// --- The price question -------------------------------------------------------------------

struct Question {
    platform::Mutex mutex;
    std::condition_variable answered;
    bool waiting GUARDED_BY(mutex) = false;
    std::optional<bool> answer GUARDED_BY(mutex);
    bool yesInAdvance GUARDED_BY(mutex) = false;
};

Question& question()
{
    static Question q;
    return q;
}

// Runs on the call's task: prints the question and waits for "yes" or "no".
bool askOnTheLine(const std::string& text)
{
    json line = event("question");
    line["text"] = text;
    Question& q = question();
    platform::UniqueLock lock(q.mutex);
    if (q.yesInAdvance) {
        q.yesInAdvance = false;
        lock.unlock();
        enqueue(line);
        return true;
    }
    // Waiting before the question is out: an answer sent at once is taken.
    q.waiting = true;
    q.answer.reset();
    enqueue(line);
    std::stop_callback wake(platform::shutdownToken(), [&q] { q.answered.notify_all(); });
    q.answered.wait(lock.native(), [&q]() REQUIRES(q.mutex) {
        return q.answer.has_value() || platform::shutdownToken().stop_requested();
    });
    q.waiting = false;
    return q.answer.value_or(false);
}

bool answerQuestion(bool yes)
{
    Question& q = question();
    {
        platform::LockGuard lock(q.mutex);
        if (!q.waiting) return false;
        q.answer = yes;
    }
    q.answered.notify_all();
    return true;
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
    } else if (command == "call" && (count == 2 || (count == 3 && args[2] == "--yes"))) {
        {
            platform::LockGuard lock(question().mutex);
            question().yesInAdvance = count == 3;
        }
        const std::string handle = args[1];
        platform::runTask([handle] { kestrel::callAction(handle); });
    } else if ((command == "yes" || command == "no") && count == 1) {
        if (!answerQuestion(command == "yes")) answerError("No question is waiting for an answer.");
    } else if (command == "autoanswer" && count == 2) {
        const std::optional<int> seconds = args[1] == "off" ? -1 : wholeNumber(args[1]);
        if (seconds && *seconds >= -1 && *seconds <= 60 && (*seconds >= 0 || args[1] == "off"))
            autoAnswerSeconds = *seconds;
        else
            answerError("autoanswer takes a number of seconds, 0 to 60, or off.");
    } else if (command == "echo" && count == 2 && onOff(args[1])) {
        kestrel::setEcho(*onOff(args[1]));
    } else if (command == "answer" && count == 1) {
        platform::runTask(kestrel::answerAction);
    } else if (command == "hangup" && count == 1) {
        platform::runTask(kestrel::hangUpAction);
    } else if (command == "mute" && count == 2 && onOff(args[1])) {
        kestrel::setMute(*onOff(args[1]));
    } else if (command == "volume" && count == 2) {
        const std::optional<int> percent = wholeNumber(args[1]);
        if (!percent || !kestrel::setVolume(*percent)) answerError("The volume is 50, 100, 150 or 200.");
    } else if (command == "block" && count == 2) {
        kestrel::blockHandle(args[1]);
    } else if (command == "unblock" && count == 2) {
        kestrel::unblockHandle(args[1]);
    } else if (command == "greeting" && count == 2 && (args[1] == "record" || args[1] == "stop" || args[1] == "play")) {
        if (args[1] == "record") kestrel::recordGreetingAction();
        if (args[1] == "stop") kestrel::stopGreetingAction();
        if (args[1] == "play") kestrel::playGreetingAction();
    } else if ((command == "inbox" || command == "saved") && count == 1) {
        const bool inbox = command == "inbox";
        json messages = json::array();
        for (const kestrel::MessageRow& m : inbox ? kestrel::inboxMessages() : kestrel::savedMessages()) {
            json row = {{"n", m.n}, {"from", m.from}, {"secs", m.secs}, {"txid", m.txid}};
            if (inbox) {
                row["id"] = m.id;
                row["ts"] = m.ts;
            }
            messages.push_back(row);
        }
        json line = event(inbox ? "inbox" : "saved");
        line["messages"] = messages;
        enqueue(line);
    } else if (command == "pause" && count == 1) {
        kestrel::pauseMessage();
    } else if (command == "stop" && count == 1) {
        kestrel::stopMessage();
    } else if ((command == "play" || command == "save" || command == "delete" || command == "delete-saved") &&
               count == 2) {
        const std::optional<int> n = wholeNumber(args[1]);
        bool done = false;
        if (n && command == "play") done = kestrel::playInboxMessage(*n);
        if (n && command == "save") done = kestrel::saveInbox(*n);
        if (n && command == "delete") done = kestrel::deleteInbox(*n);
        if (n && command == "delete-saved") done = kestrel::deleteSaved(*n);
        if (!done) answerError("No message " + args[1] + ".");
    } else if (command == "history" && count == 1) {
        json calls = json::array();
        for (const kestrel::CallRow& row : kestrel::callHistory())
            calls.push_back({{"from", row.from},
                             {"to", row.to},
                             {"secs", row.secs},
                             {"sats", row.sats},
                             {"ts", row.ts},
                             {"missed", row.missed},
                             {"hidden", row.hidden},
                             {"txid", row.txid}});
        json line = event("history");
        line["calls"] = calls;
        enqueue(line);
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
    std::fprintf(stderr,
                 "usage: kestrel-cli [--instance DIR]\n"
                 "Commands on standard input: connect, disconnect, fee N, answerphone on|off, call HANDLE [--yes],\n"
                 "yes, no, answer, autoanswer SECONDS|off, echo on|off, hangup, mute on|off, volume 50|100|150|200,\n"
                 "block HANDLE, unblock HANDLE, history, greeting record|stop|play, inbox, play N, pause, stop,\n"
                 "save N, delete N, saved, delete-saved N, status, quit.\n");
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
        kestrel::installQuestionHook(askOnTheLine);
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
        platform::LockGuard lock(printer().mutex);
        printer().closing = true;
    }
    printer().wanted.notify_one();
    if (printing.joinable()) printing.join();
    return 0;
}
