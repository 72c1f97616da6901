// The container base: references to a message and a body behind eight accessors.
#include <sstream>
#include <utility>

#include <gtest/gtest.h>

#include "vek4kivosmime.h"

namespace {

constexpr unsigned kUntouched = 0xC0FFEE;
using Reference = std::pair<OM_uint32, void*>;

// What getMessage or getBody hands out; the minor status is neither read nor written.
Reference referenceOf(SMIMEBase& base, bool body = false) {
    gss_buffer_desc out = {9, &out};
    unsigned minor = kUntouched;
    EXPECT_EQ(body ? base.getBody(&out, &minor) : base.getMessage(&out, &minor), 0u);
    EXPECT_EQ(minor, kUntouched);
    return {out.length, out.value};
}

TEST(SMIMEBase, HandsOutTheReferencesThatWereSetAndNothingElse) {
    SMIMEBase base;
    EXPECT_TRUE(referenceOf(base) == Reference(0, nullptr) && referenceOf(base, true) == Reference(0, nullptr));
    char message[] = "message", body[] = "body", header[] = "h";
    gss_buffer_desc messageIn = {7, message}, bodyIn = {4, body}, headerIn = {1, header}, out = {5, header};
    std::istringstream stream("x");
    unsigned minor = kUntouched;
    EXPECT_EQ(base.setMessage(&messageIn, &minor) | base.setBody(&bodyIn, &minor), 0u);
    messageIn = bodyIn = {1, nullptr}; // the container holds descriptors of its own
    // Headers and streams are accepted and change nothing.
    EXPECT_EQ(base.setHeader(&headerIn, &minor) | base.getHeader(&out, &minor) | base.setMessage(&stream, &minor) | base.getMessage(&stream, &minor), 0u);
    EXPECT_TRUE(out.length == 5 && out.value == header && minor == kUntouched);
    EXPECT_EQ(referenceOf(base), Reference(7, message));
    EXPECT_EQ(referenceOf(base, true), Reference(4, body));
}

} // namespace
