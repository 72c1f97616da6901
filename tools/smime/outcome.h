// What a step of the tool came to: success, or a one-line cause and the exit
// status it gives.
#ifndef SMIME_TOOL_OUTCOME_H
#define SMIME_TOOL_OUTCOME_H

#include <string>

namespace smimetool {

enum ExitStatus {
    kExitSuccess = 0,
    kExitRefused = 1, // a signature that does not verify, a message that does not decrypt
    kExitUsage = 2    // bad usage or unreadable input
};

struct Outcome {
    int exitStatus = kExitSuccess;
    std::string message; // one line, empty on success

    bool ok() const { return exitStatus == kExitSuccess; }
    static Outcome success() { return Outcome{}; }
    static Outcome failure(int exitStatus, std::string message) { return Outcome{exitStatus, std::move(message)}; }
};

// "SMIME_BAD_MESSAGE" for 22; "status N" for a number that is none.
std::string statusName(unsigned status);

// The cause of a failed library call in one line: the status name, then the
// provider's reason text for SMIME_PROVIDER_FAILED, else what the status means.
std::string describeStatus(unsigned status, unsigned minor);

} // namespace smimetool

#endif // SMIME_TOOL_OUTCOME_H
