#include "run_command.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <tuple>

#include "temp_dir.h"

#if !defined(_WIN32)
extern char** environ;
#endif

namespace {

std::vector<std::string> mergedEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string current(*entry);
        const std::string name = current.substr(0, current.find('='));
        const auto sameName = [&](const std::string& e) { return e.substr(0, e.find('=')) == name; };
        if (std::none_of(extra.begin(), extra.end(), sameName)) merged.push_back(current);
    }
    merged.insert(merged.end(), extra.begin(), extra.end());
    return merged;
}

#if defined(_WIN32)
// One argument as the C runtime of the program started will split it back:
// quoted when it holds a space, tab or quote, with the backslashes before a
// quote doubled.
std::string quotedArgument(const std::string& argument) {
    if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (const char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(2 * backslashes, '\\');
    return quoted + "\"";
}

// A file handle the started program inherits as one of its standard streams.
HANDLE inheritableFile(const std::string& path, bool forWriting) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return CreateFileA(path.c_str(), forWriting ? GENERIC_WRITE : GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       &inherit, forWriting ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}
#endif

} // namespace

CommandResult runCommand(const std::vector<std::string>& argv, const std::string& input,
                         const std::vector<std::string>& extraEnvironment) {
    CommandResult result;
    if (argv.empty()) return result;
    // Files, not pipes: nothing can deadlock however much either side writes.
    TempDir scratch;
    const std::string in = scratch.write("stdin", input);
    const std::string out = scratch.file("stdout");
    const std::string err = scratch.file("stderr");

#if defined(_WIN32)
    const HANDLE files[] = {inheritableFile(in, false), inheritableFile(out, true), inheritableFile(err, true)};
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    std::tie(startup.hStdInput, startup.hStdOutput, startup.hStdError) = std::tie(files[0], files[1], files[2]);
    std::string commandLine;
    for (const std::string& a : argv) commandLine += (commandLine.empty() ? "" : " ") + quotedArgument(a);
    std::string environmentBlock;
    for (const std::string& e : mergedEnvironment(extraEnvironment)) environmentBlock.append(e).push_back('\0');
    environmentBlock.push_back('\0');
    PROCESS_INFORMATION process{};
    const bool started = files[0] != INVALID_HANDLE_VALUE && files[1] != INVALID_HANDLE_VALUE &&
                         files[2] != INVALID_HANDLE_VALUE &&
                         CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, &environmentBlock[0],
                                        nullptr, &startup, &process);
    for (const HANDLE file : files)
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    if (!started) {
        result.err = "cannot run " + argv[0] + ": error " + std::to_string(GetLastError());
        return result;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 0;
    result.status = GetExitCodeProcess(process.hProcess, &exitCode) ? static_cast<int>(exitCode) : -1;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
#else
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const std::vector<std::string> environment = mergedEnvironment(extraEnvironment);
    std::vector<char*> args, envp;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    for (const std::string& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
    args.push_back(nullptr);
    envp.push_back(nullptr);

    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        result.err = std::string("cannot run ") + argv[0] + ": " + std::strerror(spawned);
        return result;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
    result.out = TempDir::read(out);
    result.err = TempDir::read(err);
    return result;
}

bool haveCommand(const std::string& name) { return runCommand({name, "--version"}).status >= 0; }
