#include "header_protection.h"

#include <algorithm>
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

private:
    std::unordered_map<std::string, std::vector<std::string>> values_;
};

// A Content-Type value without its hp parameters, and then with hp set to
// mode (quoted, as header protection writes it) unless mode is empty.
std::string withHp(std::string_view value, const std::string& mode) {
    ContentType type = parseContentType(value);
    auto& parameters = type.parameters;
    parameters.erase(std::remove_if(parameters.begin(), parameters.end(), [](const auto& p) { return p.first == "hp"; }),
                     parameters.end());
    return contentTypeText(type) + (mode.empty() ? "" : "; hp=\"" + mode + "\"");
}

// The fields a reader acts on: who wrote, to whom, about what, in reply to what.
bool isAddressingField(const HeaderField& field) {
    for (const char* name : {"From", "Sender", "Reply-To", "To", "Cc", "Bcc", "Subject", "Date", "Message-ID",
                             "In-Reply-To", "References", "Followup-To", "Mail-Followup-To"})
        if (field.isNamed(name)) return true;
    return false;
}

std::string quoted(const std::optional<std::string>& value) { return value ? "'" + *value + "'" : "absent"; }

} // namespace

void protectHeader(SplitMail& mail, HeaderProtection mode) {
    if (mode == HeaderProtection::None) return;
    const char* hp = mode == HeaderProtection::Clear ? "clear" : "cipher";
    const MimeEntity entity = parseEntity(mail.entity);
    std::string header;
    for (const HeaderField& field : entity.fields)
        header += field.isNamed("Content-Type") ? "Content-Type: " + withHp(field.value(), hp) + "\r\n" : field.line();
    // Records of an earlier sender's outer fields mean nothing here.
    const auto isRecord = [](const std::string& field) {
        const MimeEntity parsed = parseEntity(field);
        return !parsed.fields.empty() && parsed.fields[0].isNamed("HP-Outer");
    };
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

HeaderReport readProtectedHeader(const MimeEntity& entity, const std::vector<std::string>& outerFields) {
    HeaderReport report;
    report.mode = contentTypeOf(entity).parameter("hp");
    if (report.mode != "clear" && report.mode != "cipher") return report;
    report.present = true;
    // Encrypted mail records what its sender left outside, and that is what
    // the outer fields must be; signed mail's outer fields are the protected ones.
    const bool recorded = report.mode == "cipher";
    std::vector<std::string> records;
    for (const HeaderField& field : entity.fields)
        if (recorded && field.isNamed("HP-Outer")) records.push_back(field.value() + "\r\n");
    const FieldValues outside(outerFields), sent(records);
    std::unordered_map<std::string, std::size_t> seen; // fields of each name so far
    for (const HeaderField& field : entity.fields) {
        if (field.isNamed("HP-Outer") || field.describesContent()) continue;
        const std::string name(field.name);
        const std::size_t occurrence = seen[lowered(name)]++;
        report.fields.push_back(name + ": " + field.value());
        report.fieldTexts.push_back(field.line());
        const std::optional<std::string> found = outside.of(name, occurrence);
        const std::optional<std::string> expected = recorded ? sent.of(name, occurrence) : field.value();
        if (found == expected) continue;
        report.differences.push_back(recorded ? "the outer " + name + " was altered in transit: " + quoted(found) +
                                                    ", sent as " + quoted(expected)
                                              : "the outer " + name + " differs from the protected one: " + quoted(found));
    }
    // Fields a reader acts on that someone added outside (a Reply-To, a
    // second Subject) are named too; transport fields (Received, ...) are not.
    std::unordered_map<std::string, std::size_t> outsideSoFar;
    for (const std::string& text : outerFields) {
        const MimeEntity parsed = parseEntity(text);
        if (parsed.fields.empty() || !isAddressingField(parsed.fields[0])) continue;
        const std::string name(parsed.fields[0].name), key = lowered(name);
        const std::size_t occurrence = outsideSoFar[key]++;
        const bool sentThere = recorded ? sent.of(name, occurrence).has_value() : occurrence < seen[key];
        if (!sentThere) report.differences.push_back("the outer " + name + " was added in transit: " + quoted(parsed.fields[0].value()));
    }
    return report;
}

std::vector<std::string> headerFieldsFor(const std::vector<std::string>& outerFields, std::string_view entity, bool signature) {
    const HeaderReport header = readProtectedHeader(parseEntity(entity), outerFields);
    return header.present && (signature || header.mode == "cipher") ? header.fieldTexts : outerFields;
}

std::string mailAround(const std::vector<std::string>& fields, std::string_view entity) {
    const MimeEntity parsed = parseEntity(entity);
    std::string mail = outerHeader(fields);
    // Outside, the fields no longer claim a protection they do not have.
    for (const HeaderField& field : parsed.fields)
        if (field.isNamed("Content-Type") && !parseContentType(field.value()).parameter("hp").empty())
            mail += "Content-Type: " + withHp(field.value(), "") + "\r\n";
        else if (field.describesContent() && !field.isNamed("MIME-Version")) mail += field.line();
    return mail + "\r\n" + std::string(parsed.body);
}

} // namespace smimetool
