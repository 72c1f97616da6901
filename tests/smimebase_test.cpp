// The container base: references to a message and a body behind eight
// accessors, and copies that never point into their source.
#include <memory>
#include <sstream>
#include <utility>

#include <gtest/gtest.h>

#include "vek4kivosmime.h"

namespace {

constexpr unsigned kUntouched = 0xC0FFEE;

// What getMessage and getBody hand out: {length, value}.
std::pair<OM_uint32, void*> messageOf(SMIMEBase& base, bool body = false) {
    gss_buffer_desc out = {9, &out};
    unsigned minor = kUntouched;
    EXPECT_EQ(body ? base.getBody(&out, &minor) : base.getMessage(&out, &minor), 0u);
    EXPECT_EQ(minor, kUntouched) << "the minor status is neither read nor written";
    return {out.length, out.value};
}

TEST(SMIMEBaseAccessors, HandOutTheReferencesThatWereSetAndNothingElse) {
    SMIMEBase base;
    EXPECT_EQ(messageOf(base), std::make_pair(OM_uint32{0}, static_cast<void*>(nullptr)));
    EXPECT_EQ(messageOf(base, true), std::make_pair(OM_uint32{0}, static_cast<void*>(nullptr)));
    char message[] = "message", body[] = "body", header[] = "h";
    gss_buffer_desc messageIn = {7, message}, bodyIn = {4, body}, headerIn = {1, header};
    std::istringstream stream("x");
    unsigned minor = kUntouched;
    EXPECT_EQ(base.setMessage(&messageIn, &minor), 0u);
    EXPECT_EQ(base.setBody(&bodyIn, &minor), 0u);
    messageIn = bodyIn = {1, nullptr}; // the container holds descriptors of its own
    // Headers and streams are accepted and change nothing.
    EXPECT_EQ(base.setHeader(&headerIn, &minor), 0u);
    gss_buffer_desc out = {5, header};
    EXPECT_EQ(base.getHeader(&out, &minor), 0u);
    EXPECT_TRUE(out.length == 5 && out.value == header);
    EXPECT_EQ(base.setMessage(&stream, &minor), 0u);
    EXPECT_EQ(base.getMessage(&stream, &minor), 0u);
    EXPECT_EQ(minor, kUntouched);
    EXPECT_EQ(messageOf(base), std::make_pair(OM_uint32{7}, static_cast<void*>(message)));
    EXPECT_EQ(messageOf(base, true), std::make_pair(OM_uint32{4}, static_cast<void*>(body)));
}

TEST(SMIMEBaseCopy, RefersToTheSameBytesThroughItsOwnDescriptors) {
    char message[] = "message", other[] = "other";
    gss_buffer_desc messageIn = {7, message}, otherIn = {5, other};
    unsigned minor = 0;
    // Wrapped: the base has no virtual destructor.
    struct Holder {
        SMIMEBase base;
    };
    auto holder = std::make_unique<Holder>();
    holder->base.setMessage(&messageIn, &minor);
    SMIMEBase copy(holder->base), assigned;
    assigned = holder->base;
    holder->base.setMessage(&otherIn, &minor);
    holder.reset(); // neither copy may refer into the destroyed source
    SMIMEBase& same = assigned;
    assigned = same;
    for (SMIMEBase* container : {&copy, &assigned})
        EXPECT_EQ(messageOf(*container), std::make_pair(OM_uint32{7}, static_cast<void*>(message)));
}

} // namespace
