#include "signer_policy.h"

#include <set>
#include <string>

#include <openssl/x509v3.h>

#include "openssl_support.h"

namespace detail {

kivo_reason_t checkSignerUsage(X509* signer) noexcept {
    // Caches the extensions; a certificate whose extensions do not parse
    // has failed the signature and chain checks before it comes here.
    if (X509_check_purpose(signer, -1, 0) != 1) return KIVO_R_SIGNER_NOT_PERMITTED;
    const uint32_t flags = X509_get_extension_flags(signer);
    if ((flags & EXFLAG_KUSAGE) != 0 && (X509_get_key_usage(signer) & (KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION)) == 0)
        return KIVO_R_SIGNER_NOT_PERMITTED;
    if ((flags & EXFLAG_XKUSAGE) != 0 && (X509_get_extended_key_usage(signer) & (XKU_SMIME | XKU_ANYEKU)) == 0)
        return KIVO_R_SIGNER_NOT_PERMITTED;
    return KIVO_R_NONE;
}

kivo_reason_t describeEmails(X509* signer, gss_buffer_desc& output) noexcept {
    try {
        std::string lines;
        std::set<std::string> listed;
        const auto add = [&](const char* address, std::size_t length) {
            std::string line(address, length);
            // An address that would break the lines, or one already listed, is left out.
            if (line.empty() || line.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) return;
            if (!listed.insert(line).second) return;
            lines += line + "\n";
        };
        OsslPtr<GENERAL_NAMES, GENERAL_NAMES_free> names(
            static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(signer, NID_subject_alt_name, nullptr, nullptr)));
        for (int i = 0; names && i < sk_GENERAL_NAME_num(names.get()); ++i) {
            const GENERAL_NAME* name = sk_GENERAL_NAME_value(names.get(), i);
            if (name->type == GEN_EMAIL)
                add(reinterpret_cast<const char*>(ASN1_STRING_get0_data(name->d.rfc822Name)),
                    static_cast<std::size_t>(ASN1_STRING_length(name->d.rfc822Name)));
        }
        const X509_NAME* subject = X509_get_subject_name(signer);
        for (int i = X509_NAME_get_index_by_NID(subject, NID_pkcs9_emailAddress, -1); i >= 0;
             i = X509_NAME_get_index_by_NID(subject, NID_pkcs9_emailAddress, i)) {
            const ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, i));
            add(reinterpret_cast<const char*>(ASN1_STRING_get0_data(value)), static_cast<std::size_t>(ASN1_STRING_length(value)));
        }
        ERR_clear_error(); // a certificate without the extension leaves a note
        return lines.empty() ? KIVO_R_NONE : handOverCopy(lines.data(), lines.size(), &output);
    } catch (const std::bad_alloc&) {
        return KIVO_R_NO_MEMORY;
    }
}

} // namespace detail
