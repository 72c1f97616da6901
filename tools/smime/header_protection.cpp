#include "header_protection.h"

#include <cctype>
#include <optional>
#include <unordered_map>

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

// The values of the fields of each name, in order, looked up by the name
// in lower case: a header of many fields is read once, not once per field
// compared.
class FieldValues {
public:
    explicit FieldValues(const std::vector<std::string>& fields) {
        for (const std::string& field : fields) {
            const MimeEntity parsed = parseEntity(field);
            if (!parsed.fields.empty()) values_[lowered(parsed.fields[0].name)].push_back(parsed.fields[0].value());
        }
    }
    // The value of the field of that name that comes occurrence-th (from 0).
    std::optional<std::string> of(const std::string& name, std::size_t occurrence) const {
        const auto found = values_.find(lowered(name));
        if (found == values_.end() || occurrence >= found->second.size()) return std::nullopt;
        return found->second[occurrence];
    }
    static std::string lowered(std::string_view name) {
        std::string text(name);
        for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return text;
    }

private:
    std::unordered_map<std::string, std::vector<std::string>> values_;
};

// A Content-Type with hp set to mode, any hp it had dropped.
std::string markedContentType(const std::string& value, const char* mode) {
    const ContentType type = parseContentType(value);
    std::string marked = "Content-Type: " + type.mediaType;
    for (const auto& [name, parameter] : type.parameters) {
        if (name == "hp") continue;
        std::string escaped;
        for (char c : parameter) escaped += c == '"' || c == '\\' ? std::string{'\\', c} : std::string{c};
        marked += "; " + name + "=\"" + escaped + "\"";
    }
    return marked + "; hp=\"" + mode + "\"\r\n";
}

std::string quoted(const std::optional<std::string>& value) { return value ? "'" + *value + "'" : "absent"; }

} // namespace

void protectHeader(SplitMail& mail, HeaderProtection mode) {
    if (mode == HeaderProtection::None) return;
    const char* hp = mode == HeaderProtection::Clear ? "clear" : "cipher";
    const MimeEntity entity = parseEntity(mail.entity);
    std::string header;
    for (const HeaderField& field : entity.fields)
        header += field.isNamed("Content-Type") ? markedContentType(field.value(), hp) : field.line();
    // Records of an earlier sender's outer fields mean nothing here.
    const auto isRecord = [](const std::string& field) { return FieldValues::lowered(field.substr(0, 9)) == "hp-outer:"; };
    for (const std::string& field : mail.outerFields)
        if (!isRecord(field)) header += field;
    if (mode == HeaderProtection::Cipher) {
        std::vector<std::string> outside;
        for (const std::string& field : mail.outerFields)
            if (const std::optional<std::string> kept = obscured(field); kept && !isRecord(field)) {
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
    const FieldValues outside(outerFields), sent(records);
    std::unordered_map<std::string, std::size_t> seen; // fields of each name so far
    for (const HeaderField& field : entity.fields) {
        if (field.isNamed("HP-Outer") || field.describesContent()) continue;
        const std::string name(field.name);
        const std::size_t occurrence = seen[FieldValues::lowered(name)]++;
        report.fields.push_back(name + ": " + field.value());
        report.fieldTexts.push_back(field.line());
        const std::optional<std::string> found = outside.of(name, occurrence);
        const std::optional<std::string> expected = recorded ? sent.of(name, occurrence) : field.value();
        if (found == expected) continue;
        report.differences.push_back(recorded ? "the outer " + name + " was altered in transit: " + quoted(found) +
                                                    ", sent as " + quoted(expected)
                                              : "the outer " + name + " differs from the protected one: " + quoted(found));
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
        if (field.describesContent() && !field.isNamed("MIME-Version")) mail += field.line();
    return mail + "\r\n" + std::string(parsed.body);
}

} // namespace smimetool
