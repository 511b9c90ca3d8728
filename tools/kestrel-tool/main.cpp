#include "tools/kestrel-tool/tool.h"

#include "platform/json_fields.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iostream>

namespace tool {

bool Args::has(const std::string& name) const
{
    return options.count(name) != 0 || std::find(flags.begin(), flags.end(), name) != flags.end();
}

std::string Args::get(const std::string& name, const std::string& fallback) const
{
    const auto it = options.find(name);
    return it == options.end() ? fallback : it->second;
}

std::string textOption(const nlohmann::json& in, const char* key)
{
    return platform::jsonText(in, key);
}

int printJson(const nlohmann::json& value)
{
    std::cout << value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << std::endl;
    return 0;
}

int fail(const std::string& message)
{
    std::fprintf(stderr, "kestrel-tool: %s\n", message.c_str());
    return 1;
}

static std::vector<Command> allCommands();

bool requireOptions(const Args& args, const std::vector<std::string>& names, const char* command)
{
    for (const auto& name : names) {
        if (args.options.count(name) == 0) {
            std::string usage;
            for (const Command& c : allCommands())
                if (std::strcmp(c.name, command) == 0) usage = c.usage;
            fail(std::string("missing --") + name + " (usage: kestrel-tool " + command + " " + usage + ")");
            return false;
        }
    }
    return true;
}

Work findWork(std::span<const WorkEntry> table, const std::string& name)
{
    for (const WorkEntry& e : table)
        if (name == e.name) return e.work;
    return nullptr;
}

bool workInput(const char* name, const Args& args, const std::vector<std::string>& required, nlohmann::json& in)
{
    if (!requireOptions(args, required, name)) return false;
    in = nlohmann::json::object();
    for (const auto& [key, value] : args.options) in[key] = value;
    for (const auto& flag : args.flags) in[flag] = true;
    return true;
}

int printWork(Work work, const nlohmann::json& in)
{
    nlohmann::json out;
    std::string error;
    if (!work(in, out, error)) return fail(error);
    return printJson(out);
}

// Each command group adds its table here.
static std::vector<Command> allCommands()
{
    std::vector<Command> commands;
    for (auto group : {walletCommands, recordCommands, connectCommands, spendCommands, paymailCommands, phoneCommands,
                       storeCommands, audioCommands}) {
        for (const Command& c : group()) commands.push_back(c);
    }
    return commands;
}

static void printHelp(const std::vector<Command>& commands)
{
    std::printf("usage: kestrel-tool COMMAND [--option value ...]\n\n"
                "Wallet, record and store primitives of Kestrel. Output is JSON on standard\n"
                "output; errors are one line on standard error with a non-zero exit.\n\n"
                "commands:\n");
    for (const Command& c : commands) std::printf("  %-16s %s\n  %-16s   %s\n", c.name, c.usage, "", c.summary);
}

// Options take the next argument as their value unless it is another option.
static Args parseArgs(int argc, char** argv, int first)
{
    Args args;
    for (int i = first; i < argc; ++i) {
        if (std::strncmp(argv[i], "--", 2) != 0) {
            args.flags.push_back(argv[i]);
            continue;
        }
        const std::string name = argv[i] + 2;
        if (i + 1 < argc && std::strncmp(argv[i + 1], "--", 2) != 0)
            args.options[name] = argv[++i];
        else
            args.flags.push_back(name);
    }
    return args;
}

} // namespace tool

int main(int argc, char** argv)
{
    const auto commands = tool::allCommands();
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "help") == 0) {
        tool::printHelp(commands);
        return argc < 2 ? 1 : 0;
    }
    for (const tool::Command& c : commands) {
        if (c.name == std::string(argv[1])) {
            const tool::Args args = tool::parseArgs(argc, argv, 2);
            if (args.has("help")) {
                std::printf("usage: kestrel-tool %s %s\n  %s\n", c.name, c.usage, c.summary);
                return 0;
            }
            return c.run(args);
        }
    }
    return tool::fail(std::string("unknown command \"") + argv[1] + "\"; see kestrel-tool --help");
}
