// The tool's operations on whole messages in memory, through SMIMEMessage:
// the subcommands and the demo both run them.
#ifndef SMIME_TOOL_OPERATIONS_H
#define SMIME_TOOL_OPERATIONS_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <vek4kivosmime.h>

#include "bytes.h"
#include "outcome.h"
#include "secret_text.h"

namespace smimetool {

// Who the tool logs in as: a key store, its password and the identity in it.
struct Identity {
    std::string keyStore;
    SecretText password;
    std::string principal;
};

struct SignRequest {
    Identity signer;
    digestAlgorithm_t digest = digestSHA256;
    bool detached = false; // clear-signed
};
// Where an operation's result goes once it is complete.
class ResultSink {
public:
    virtual ~ResultSink() = default;
    // Takes the message that object holds; a failure is reported under step.
    virtual Outcome take(SMIMEMessage& object, const std::string& step) = 0;
};

// Keeps the result in memory.
class BytesResult : public ResultSink {
public:
    Outcome take(SMIMEMessage& object, const std::string& step) override;
    Bytes bytes;
};

// Each operation hands the message to the library and then releases it, so
// that two copies of a large input are never kept while the result is made.

Outcome signMessage(const SignRequest& request, Bytes& message, ResultSink& result);

struct VerifyRequest {
    std::string trustAnchors; // extra PEM certificates, may be empty
    bool checkChain = true;
    std::string crls;                // PEM, may be empty
    bool checkRevocation = false;    // every certificate of the chain needs a current CRL
    bool online = false;             // also fetch OCSP answers and CRLs
    std::int64_t validationTime = 0; // 0: now
    bool atSigningTime = false;      // the chain as of the signing time
    std::string sender;              // when not empty, the certificate must name it
    std::string certificates;        // PEM certificates the message may lack, may be empty
};
// What the verification reports: the signer (empty when unknown) and a
// one-line account of the outcome.
struct VerifyReport {
    std::string signer;
    std::string summary;
};
Outcome verifyMessage(const VerifyRequest& request, Bytes& message, ResultSink& content, VerifyReport& report);

struct EncryptRequest {
    std::vector<std::string> recipients; // certificates, PEM or DER
    encryptionAlgorithmStrength_t strength = strengthAES256;
    std::vector<std::string> names; // where each came from, for messages (may be empty)
};
Outcome encryptMessage(const EncryptRequest& request, Bytes& message, ResultSink& enveloped);

Outcome decryptMessage(const Identity& recipient, Bytes& message, ResultSink& content);

// The kind of message and its top-level header lines, for people.
Outcome describeMessage(std::string_view message, std::string& description);

// line with control characters and bytes beyond ASCII shown as '?'.
std::string printableLine(std::string line);

// The value of --digest or --cipher; false for a name that is none.
bool digestNamed(const std::string& name, digestAlgorithm_t& digest);
bool strengthNamed(const std::string& name, encryptionAlgorithmStrength_t& strength);

} // namespace smimetool

#endif // SMIME_TOOL_OPERATIONS_H
