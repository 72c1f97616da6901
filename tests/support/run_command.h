// Runs another program (openssl, gpgsm, python3) the way a shell would, with
// given standard input, and collects its exit status and output.
#ifndef TESTS_RUN_COMMAND_H
#define TESTS_RUN_COMMAND_H

#include <string>
#include <vector>

struct CommandResult {
    int status = -1; // exit status; -1 when it could not run or was killed
    std::string out;
    std::string err;
};

// argv[0] is looked up on PATH. extraEnvironment holds NAME=value entries
// added to (or replacing those of) this process's environment.
CommandResult runCommand(const std::vector<std::string>& argv, const std::string& input = "",
                         const std::vector<std::string>& extraEnvironment = {});

// True when name runs (it is asked for --version).
bool haveCommand(const std::string& name);

#endif // TESTS_RUN_COMMAND_H
