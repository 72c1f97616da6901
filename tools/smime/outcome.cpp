#include "outcome.h"

#include <vek4kivosmime.h>

namespace smimetool {

namespace {

struct StatusEntry {
    unsigned status;
    const char* name;
    const char* meaning;
};

const StatusEntry kStatuses[] = {
    {SMIME_OK, "SMIME_OK", "success"},
    {SMIME_BAD_PROTECT_OP, "SMIME_BAD_PROTECT_OP", "unknown protect operation"},
    {SMIME_PROVIDER_FAILED, "SMIME_PROVIDER_FAILED", "the security provider failed"},
    {SMIME_FILE_NOT_FOUND, "SMIME_FILE_NOT_FOUND", "the file cannot be found"},
    {SMIME_FILE_ACCESS, "SMIME_FILE_ACCESS", "the file cannot be read or written"},
    {SMIME_STREAM_ERROR, "SMIME_STREAM_ERROR", "the input is empty or cannot be read"},
    {SMIME_MESSAGE_ALREADY_SET, "SMIME_MESSAGE_ALREADY_SET", "a message is already held"},
    {SMIME_NO_MEMORY, "SMIME_NO_MEMORY", "out of memory"},
    {SMIME_NULL_PARAMETER, "SMIME_NULL_PARAMETER", "a base64 body cannot be decoded"},
    {SMIME_NOT_INITIALIZED, "SMIME_NOT_INITIALIZED", "the message object could not be made"},
    {SMIME_ALREADY_LOGGED_IN, "SMIME_ALREADY_LOGGED_IN", "already logged in"},
    {SMIME_NOT_LOGGED_IN, "SMIME_NOT_LOGGED_IN", "not logged in"},
    {SMIME_OUTPUT_NOT_EMPTY, "SMIME_OUTPUT_NOT_EMPTY", "an output buffer was not empty"},
    {SMIME_NO_MESSAGE, "SMIME_NO_MESSAGE", "there is no message"},
    {SMIME_BAD_MESSAGE, "SMIME_BAD_MESSAGE", "the input is not an S/MIME message of the kind this command reads"},
    {SMIME_BAD_ENCODING, "SMIME_BAD_ENCODING", "invalid quoted-printable input"},
    {SMIME_GENERATOR_EMPTY, "SMIME_GENERATOR_EMPTY", "nothing was generated"},
};

const StatusEntry* entryOf(unsigned status) {
    for (const StatusEntry& entry : kStatuses)
        if (entry.status == status) return &entry;
    return nullptr;
}

std::string reasonText(unsigned minor) {
    gss_buffer_desc text = {0, nullptr};
    std::string line = "reason " + std::to_string(minor);
    if (kivo_display_status(minor, &text) == 0 && text.value != nullptr)
        line.assign(static_cast<const char*>(text.value), text.length);
    OM_uint32 ignored = 0;
    prov_release_buffer(&ignored, &text);
    return line;
}

} // namespace

std::string statusName(unsigned status) {
    const StatusEntry* entry = entryOf(status);
    return entry != nullptr ? entry->name : "status " + std::to_string(status);
}

std::string describeStatus(unsigned status, unsigned minor) {
    const StatusEntry* entry = entryOf(status);
    const std::string meaning = status == SMIME_PROVIDER_FAILED ? reasonText(minor)
                                : entry != nullptr            ? entry->meaning
                                                              : "unknown status";
    return statusName(status) + ": " + meaning;
}

} // namespace smimetool
