// The container base of the generator and the parser, and the library's
// entry point on Windows.
#include <new>

#include "vek4kivosmime.h"

#if defined(_WIN32)
#include <windows.h>

// The library keeps no per-thread state, so thread notifications are not
// needed.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
    return TRUE;
}
#endif

SMIMEBase::SMIMEBase()
    : message{0, nullptr}, messageRef(&message), header{0, nullptr}, headerRef(&header), body{0, nullptr},
      bodyRef(&body), stream(nullptr), utility(new (std::nothrow) smime_utility) {}

SMIMEBase::~SMIMEBase() { delete utility; }

// A copy holds the descriptors the source refers to in fields of its own, so
// it never points into the source, and owns a utility of its own.
SMIMEBase::SMIMEBase(const SMIMEBase& other)
    : message(*other.messageRef), messageRef(&message), header(*other.headerRef), headerRef(&header),
      body(*other.bodyRef), bodyRef(&body), stream(other.stream), utility(new (std::nothrow) smime_utility) {}

SMIMEBase& SMIMEBase::operator=(const SMIMEBase& other) {
    if (this == &other) return *this;
    message = *other.messageRef;
    header = *other.headerRef;
    body = *other.bodyRef;
    messageRef = &message;
    headerRef = &header;
    bodyRef = &body;
    stream = other.stream;
    if (utility == nullptr) utility = new (std::nothrow) smime_utility;
    return *this;
}

unsigned int SMIMEBase::setMessage(std::istream* newStream, unsigned int* /*minor_status*/) {
    stream = newStream;
    return SMIME_OK;
}

unsigned int SMIMEBase::setMessage(const gss_buffer_desc* newMessage, unsigned int* /*minor_status*/) {
    messageRef->length = newMessage->length;
    messageRef->value = newMessage->value;
    return SMIME_OK;
}

unsigned int SMIMEBase::getMessage(std::istream* /*stream*/, unsigned int* /*minor_status*/) { return SMIME_OK; }

unsigned int SMIMEBase::getMessage(gss_buffer_desc* out, unsigned int* /*minor_status*/) {
    out->length = messageRef->length;
    out->value = messageRef->value;
    return SMIME_OK;
}

unsigned int SMIMEBase::setBody(const gss_buffer_desc* newBody, unsigned int* /*minor_status*/) {
    bodyRef->length = newBody->length;
    bodyRef->value = newBody->value;
    return SMIME_OK;
}

unsigned int SMIMEBase::getBody(gss_buffer_desc* out, unsigned int* /*minor_status*/) {
    out->length = bodyRef->length;
    out->value = bodyRef->value;
    return SMIME_OK;
}

unsigned int SMIMEBase::setHeader(const gss_buffer_desc* /*header*/, unsigned int* /*minor_status*/) { return SMIME_OK; }

unsigned int SMIMEBase::getHeader(gss_buffer_desc* /*header*/, unsigned int* /*minor_status*/) { return SMIME_OK; }
