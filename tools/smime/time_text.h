// Times as the tool prints and reads them: UTC, ISO 8601.
#ifndef SMIME_TOOL_TIME_TEXT_H
#define SMIME_TOOL_TIME_TEXT_H

#include <cstdint>
#include <string>

namespace smimetool {

// "2026-12-06 13:14:15 UTC" for seconds since 1970.
std::string utcTime(std::int64_t seconds);

// Seconds since 1970 of text: a number of seconds, or an ISO 8601 date with
// an optional time ("2024-05-01", "2024-05-01T12:30", "2024-05-01T12:30:15Z",
// "2024-05-01 12:30:15+02:00"; without a zone it is UTC). false for
// anything else.
bool parseTime(const std::string& text, std::int64_t& seconds);

} // namespace smimetool

#endif // SMIME_TOOL_TIME_TEXT_H
