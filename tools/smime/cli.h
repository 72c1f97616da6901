// The command line of the smime tool: its subcommands, their options, and
// the help texts that describe them.
#ifndef SMIME_TOOL_CLI_H
#define SMIME_TOOL_CLI_H

#include <string>
#include <vector>

#include <vek4kivosmime.h>

#include "outcome.h"
#include "secret_text.h"

namespace smimetool {

struct Options {
    std::string command;           // sign, verify, encrypt, decrypt, open, info, demo
    std::string keyStore;          // -k
    SecretText password;           // -p
    bool passwordGiven = false;
    std::string passwordFile;      // --pass-file
    std::string principal;         // --id
    digestAlgorithm_t digest = digestSHA256;          // --digest
    encryptionAlgorithmStrength_t strength = strengthAES256; // --cipher
    bool detached = false;         // --detached
    bool crlf = false;             // --crlf
    bool oaep = false;             // --oaep
    bool pss = false;              // --pss
    bool noChain = false;          // --no-chain
    std::vector<std::string> crls; // --crl
    bool checkRevocation = false;  // --check-revocation
    bool online = false;           // --online
    std::string at;                // --at
    bool atSigningTime = false;    // --at-signing-time
    std::string sender;            // --sender
    std::vector<std::string> certs; // --certs
    bool mail = false;             // --mail
    bool protectHeader = false;    // --protect-header
    bool hideHeader = false;       // sign --hide-header
    bool raw = false;              // --raw
    std::string input = "-";       // -i
    std::string output = "-";      // -o
    std::vector<std::string> recipients; // -r
    std::vector<std::string> trust;      // --trust
    std::string keep;              // demo --keep
    bool help = false;
};

// Reads the subcommand and its options from argv[1..]. A failure names the
// offending argument; --help sets help and stops checking.
Outcome parseCommandLine(int argc, char** argv, Options& options);

// The tool's usage, or one subcommand's when command names one.
std::string helpText(const std::string& command);

} // namespace smimetool

#endif // SMIME_TOOL_CLI_H
