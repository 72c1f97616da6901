// `smime demo`: every operation end to end with a throwaway CA.
#ifndef SMIME_TOOL_DEMO_H
#define SMIME_TOOL_DEMO_H

#include <string>

namespace smimetool {

// Runs the demo in a temporary folder (removed afterwards), or in keepFolder
// when it is not empty (kept). Prints each step; returns the exit status.
int runDemo(const std::string& keepFolder);

} // namespace smimetool

#endif // SMIME_TOOL_DEMO_H
