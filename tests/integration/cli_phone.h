// A kestrel-cli process as the tests drive it: commands to its standard
// input, its events read back as JSON lines, its standard error kept in a
// file of the data folder. The destructor ends a phone that is still running
// (SIGKILL after a grace period), so a failed test leaves nothing behind.
#pragma once

#include <nlohmann/json.hpp>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

struct CliPhone {
    pid_t pid = -1;
    int input = -1;  // its standard input
    int output = -1; // its standard output
    std::string pending;
    std::vector<nlohmann::json> events; // every event read so far, in order

    // Every event read so far, one per line, for failure messages.
    std::string transcript() const
    {
        std::string text;
        for (const auto& e : events) text += e.dump() + "\n";
        return text;
    }
    int exitStatus = -1; // after wait(): the exit code, or -1

    CliPhone() = default;
    CliPhone(const CliPhone&) = delete;
    CliPhone& operator=(const CliPhone&) = delete;
    ~CliPhone() { end(); }

    // Starts kestrel-cli with LOCALAPPDATA=root; standard error goes to
    // stderrPath. False when it could not start.
    bool start(const std::string& root, const std::string& stderrPath, const std::vector<std::string>& args = {})
    {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0) return false;
        if (::pipe2(out, O_CLOEXEC) != 0) return false;
        pid = ::fork();
        if (pid < 0) return false;
        if (pid == 0) {
            ::dup2(in[0], STDIN_FILENO);
            ::dup2(out[1], STDOUT_FILENO);
            const int err = ::open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            if (err >= 0) ::dup2(err, STDERR_FILENO);
            ::setenv("LOCALAPPDATA", root.c_str(), 1);
            std::vector<char*> argv {const_cast<char*>(KESTREL_CLI)};
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(KESTREL_CLI, argv.data());
            _exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        input = in[1];
        output = out[0];
        return true;
    }

    void send(const std::string& line)
    {
        const std::string text = line + "\n";
        size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = ::write(input, text.data() + done, text.size() - done);
            if (n <= 0) return;
            done += static_cast<size_t>(n);
        }
    }

    // The first event not answered before that satisfies want, reading more
    // as needed; a discarded value when the phone ended or deadlineMs of real
    // time passed first.
    nlohmann::json waitFor(const std::function<bool(const nlohmann::json&)>& want, int deadlineMs = 30000)
    {
        if (const nlohmann::json* found = take(want)) return *found;
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
        while (output >= 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
            if (left <= 0) break;
            pollfd fd {output, POLLIN, 0};
            if (::poll(&fd, 1, static_cast<int>(left)) <= 0) continue;
            char buffer[8192];
            const ssize_t n = ::read(output, buffer, sizeof(buffer));
            if (n <= 0) {
                ::close(output);
                output = -1;
                break;
            }
            pending.append(buffer, static_cast<size_t>(n));
            for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
                events.push_back(nlohmann::json::parse(pending.substr(0, end), nullptr, false));
                pending.erase(0, end + 1);
            }
            if (const nlohmann::json* found = take(want)) return *found;
        }
        return nlohmann::json(nlohmann::json::value_t::discarded);
    }

    // The next event named name (with more members equal to match, if given).
    nlohmann::json waitForEvent(const std::string& name, const nlohmann::json& match = nlohmann::json::object(),
                                int deadlineMs = 30000)
    {
        return waitFor(
            [&](const nlohmann::json& e) {
                if (!e.is_object() || e.value("event", "") != name) return false;
                for (const auto& [key, value] : match.items())
                    if (!e.contains(key) || e[key] != value) return false;
                return true;
            },
            deadlineMs);
    }

    // Closes its input and waits for it to end (SIGKILL after deadlineMs);
    // answers its exit code.
    int wait(int deadlineMs = 30000)
    {
        if (input >= 0) {
            ::close(input);
            input = -1;
        }
        if (pid < 0) return exitStatus;
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
        int status = 0;
        for (;;) {
            const pid_t done = ::waitpid(pid, &status, WNOHANG);
            if (done == pid) break;
            if (std::chrono::steady_clock::now() >= until) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
                break;
            }
            // Reading keeps a chatty phone from blocking on a full pipe.
            waitFor([](const nlohmann::json&) { return false; }, 50);
        }
        pid = -1;
        exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        waitFor([](const nlohmann::json&) { return false; }, 0);
        return exitStatus;
    }

    void signal(int number)
    {
        if (pid > 0) ::kill(pid, number);
    }

    void end()
    {
        if (pid > 0) wait(5000);
        if (output >= 0) ::close(output);
        output = -1;
    }

private:
    std::vector<bool> answered; // per event: already returned by a waitFor

    const nlohmann::json* take(const std::function<bool(const nlohmann::json&)>& want)
    {
        answered.resize(events.size(), false);
        for (size_t i = 0; i < events.size(); ++i) {
            if (answered[i] || !want(events[i])) continue;
            answered[i] = true;
            return &events[i];
        }
        return nullptr;
    }
};
