// The container base: references to a message and a body behind eight
// accessors, and copies that never point into their source.
#include <memory>
#include <sstream>

#include <gtest/gtest.h>

#include "vek4kivosmime.h"

namespace {

constexpr unsigned kUntouched = 0xC0FFEE;

TEST(SMIMEBaseAccessors, NewContainerHandsOutNothing) {
    SMIMEBase base;
    unsigned minor = kUntouched;
    gss_buffer_desc out = {9, &minor};
    EXPECT_EQ(base.getMessage(&out, &minor), 0u);
    EXPECT_EQ(out.length, 0u);
    EXPECT_EQ(out.value, nullptr);
    out = {9, &minor};
    EXPECT_EQ(base.getBody(&out, &minor), 0u);
    EXPECT_EQ(out.length, 0u);
    EXPECT_EQ(out.value, nullptr);
    EXPECT_EQ(minor, kUntouched);
}

TEST(SMIMEBaseAccessors, HandOutTheSameReferenceThatWasSet) {
    SMIMEBase base;
    char message[] = "message";
    char body[] = "body";
    gss_buffer_desc messageIn = {7, message};
    gss_buffer_desc bodyIn = {4, body};
    unsigned minor = kUntouched;
    EXPECT_EQ(base.setMessage(&messageIn, &minor), 0u);
    EXPECT_EQ(base.setBody(&bodyIn, &minor), 0u);
    messageIn = {1, nullptr}; // the container holds its own descriptor
    bodyIn = {1, nullptr};

    gss_buffer_desc out = {0, nullptr};
    EXPECT_EQ(base.getMessage(&out, &minor), 0u);
    EXPECT_EQ(out.length, 7u);
    EXPECT_EQ(out.value, message);
    EXPECT_EQ(base.getBody(&out, &minor), 0u);
    EXPECT_EQ(out.length, 4u);
    EXPECT_EQ(out.value, body);
    EXPECT_EQ(minor, kUntouched);
}

TEST(SMIMEBaseAccessors, HeaderAndStreamReadsChangeNothing) {
    SMIMEBase base;
    char header[] = "h";
    gss_buffer_desc headerIn = {1, header};
    std::istringstream stream("x");
    unsigned minor = kUntouched;
    EXPECT_EQ(base.setHeader(&headerIn, &minor), 0u);
    gss_buffer_desc out = {5, header};
    EXPECT_EQ(base.getHeader(&out, &minor), 0u);
    EXPECT_EQ(out.length, 5u);
    EXPECT_EQ(out.value, header);
    EXPECT_EQ(base.setMessage(&stream, &minor), 0u);
    EXPECT_EQ(base.getMessage(&stream, &minor), 0u);
    EXPECT_EQ(base.getMessage(&out, &minor), 0u);
    EXPECT_EQ(out.value, nullptr) << "a stream is not a message";
    EXPECT_EQ(minor, kUntouched);
}

TEST(SMIMEBaseCopy, RefersToTheSameBytesThroughItsOwnDescriptors) {
    char message[] = "message";
    char other[] = "other";
    gss_buffer_desc messageIn = {7, message};
    gss_buffer_desc otherIn = {5, other};
    unsigned minor = 0;
    // Wrapped, because the base has no virtual destructor and must not be
    // deleted through a pointer to itself.
    struct Holder {
        SMIMEBase base;
    };
    auto holder = std::make_unique<Holder>();
    SMIMEBase* source = &holder->base;
    source->setMessage(&messageIn, &minor);

    SMIMEBase copy(*source);
    SMIMEBase assigned;
    assigned = *source;
    source->setMessage(&otherIn, &minor);
    holder.reset(); // neither copy may refer into the destroyed source

    for (SMIMEBase* container : {&copy, &assigned}) {
        gss_buffer_desc out = {0, nullptr};
        container->getMessage(&out, &minor);
        EXPECT_EQ(out.length, 7u);
        EXPECT_EQ(out.value, message);
    }
    SMIMEBase& same = assigned;
    assigned = same;
    gss_buffer_desc out = {0, nullptr};
    assigned.getMessage(&out, &minor);
    EXPECT_EQ(out.value, message);
}

} // namespace
