// Uses the installed library with nothing but its one public header.
#include <vek4kivosmime.h>

#include <cstdio>

int main() {
    sbase64 codec;
    char text[] = "abc";
    const gss_buffer_desc input = {3, text};
    gss_buffer_desc output = {0, nullptr};
    if (codec.encode(&input, &output) != SMIME_OK) return 1;
    std::printf("%.*s\n", static_cast<int>(output.length), static_cast<const char*>(output.value));
    OM_uint32 minor = 0;
    return prov_release_buffer(&minor, &output) == GSS_S_COMPLETE ? 0 : 1;
}
