#include "header_protection.h"

#include <optional>

namespace smimetool {

namespace {

// The fields a sender of encrypted mail hides (the baseline confidentiality
// policy): the Subject is replaced, Comments and Keywords dropped.
std::optional<std::string> obscured(const std::string& field) {
    const MimeEntity parsed = parseEntity(field);
    if (parsed.fields.empty()) return field;
    const HeaderField& f = parsed.fields[0];
    if (f.isNamed("Subject")) return "Subject: [...]\r\n";
    if (f.isNamed("Comments") || f.isNamed("Keywords")) return std::nullopt;
    return field;
}

// The value of the first field named name among fields, if any.
std::optional<std::string> valueOf(const std::vector<std::string>& fields, std::string_view name) {
    for (const std::string& field : fields) {
        const MimeEntity parsed = parseEntity(field);
        if (!parsed.fields.empty() && parsed.fields[0].isNamed(name)) return parsed.fields[0].value();
    }
    return std::nullopt;
}

std::string quoted(const std::optional<std::string>& value) { return value ? "'" + *value + "'" : "absent"; }

} // namespace

void protectHeader(SplitMail& mail, HeaderProtection mode) {
    if (mode == HeaderProtection::None) return;
    const char* hp = mode == HeaderProtection::Clear ? "clear" : "cipher";
    const MimeEntity entity = parseEntity(mail.entity);
    std::string header;
    for (const HeaderField& field : entity.fields)
        header += field.isNamed("Content-Type") ? "Content-Type: " + field.value() + "; hp=\"" + hp + "\"\r\n"
                                                : std::string(field.text);
    for (const std::string& field : mail.outerFields) header += field;
    if (mode == HeaderProtection::Cipher) {
        std::vector<std::string> outside;
        for (const std::string& field : mail.outerFields)
            if (const std::optional<std::string> kept = obscured(field)) {
                outside.push_back(*kept);
                header += "HP-Outer: " + fieldLine(*kept) + "\r\n";
            }
        mail.outerFields = outside;
    }
    mail.entity = header + "\r\n" + std::string(entity.body);
}

std::vector<std::string> outerRecordsOf(const MimeEntity& entity) {
    std::vector<std::string> records;
    if (contentTypeOf(entity).parameter("hp") != "cipher") return records;
    for (const HeaderField& field : entity.fields)
        if (field.isNamed("HP-Outer")) records.push_back(field.value() + "\r\n");
    return records;
}

HeaderReport readProtectedHeader(const MimeEntity& entity, const std::vector<std::string>& outerFields,
                                 const std::vector<std::string>& sentOutside) {
    HeaderReport report;
    const ContentType type = contentTypeOf(entity);
    report.mode = type.parameter("hp");
    if (report.mode != "clear" && report.mode != "cipher") return report;
    report.present = true;
    const std::vector<std::string> ownRecords = outerRecordsOf(entity);
    const std::vector<std::string>& records = ownRecords.empty() ? sentOutside : ownRecords;
    // Where the sender recorded what it left outside, that is what the outer
    // fields must be; otherwise they must be the protected ones.
    const bool recorded = report.mode == "cipher" || !records.empty();
    for (const HeaderField& field : entity.fields) {
        if (field.isNamed("HP-Outer") || field.describesContent()) continue;
        const std::string name(field.name);
        report.fields.push_back(name + ": " + field.value());
        report.fieldTexts.push_back(canonicalLineEnds(field.text));
        const std::optional<std::string> outside = valueOf(outerFields, name);
        const std::optional<std::string> expected = recorded ? valueOf(records, name) : field.value();
        if (outside == expected) continue;
        report.differences.push_back(recorded ? "the outer " + name + " was altered in transit: " + quoted(outside) +
                                                    ", sent as " + quoted(expected)
                                              : "the outer " + name + " differs from the protected one: " + quoted(outside));
    }
    return report;
}

std::vector<std::string> headerFieldsFor(const std::vector<std::string>& outerFields, std::string_view entity) {
    const HeaderReport header = readProtectedHeader(parseEntity(entity), outerFields);
    return header.present ? header.fieldTexts : outerFields;
}

std::string mailAround(const std::vector<std::string>& fields, std::string_view entity) {
    const MimeEntity parsed = parseEntity(entity);
    std::string mail = outerHeader(fields);
    for (const HeaderField& field : parsed.fields)
        if (field.describesContent() && !field.isNamed("MIME-Version")) mail += canonicalLineEnds(field.text);
    return mail + "\r\n" + std::string(parsed.body);
}

} // namespace smimetool
