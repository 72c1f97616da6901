#include "mime_entity.h"

#include <algorithm>
#include <cctype>

namespace smimetool {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

char lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (isBlank(text.front()) || text.front() == '\r' || text.front() == '\n')) text.remove_prefix(1);
    while (!text.empty() && (isBlank(text.back()) || text.back() == '\r' || text.back() == '\n')) text.remove_suffix(1);
    return text;
}

// The line starting at at, without its line end, and where the next begins.
std::string_view lineAt(std::string_view bytes, std::size_t at, std::size_t& next) {
    const std::size_t lf = bytes.find('\n', at);
    next = lf == std::string_view::npos ? bytes.size() : lf + 1;
    std::string_view line = bytes.substr(at, (lf == std::string_view::npos ? bytes.size() : lf) - at);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

// The length of a field's name: printable characters but the colon, then
// the colon, with white space before it as older mail has (RFC 5322 4.5).
// 0 for a line that is no field.
std::size_t fieldNameLength(std::string_view line) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return 0;
    std::size_t end = colon;
    while (end > 0 && isBlank(line[end - 1])) --end;
    for (std::size_t i = 0; i < end; ++i)
        if (line[i] <= ' ' || line[i] > '~') return 0;
    return end;
}

} // namespace

std::string lowered(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), lower);
    return out;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lower(x) == lower(y); });
}

std::string HeaderField::value() const {
    // Unfolding removes the line breaks only; the white space after them stays.
    std::string unfolded;
    for (char c : text.substr(text.find(':') + 1))
        if (c != '\r' && c != '\n') unfolded += c;
    return std::string(trimmed(unfolded));
}

std::string HeaderField::line() const {
    std::string canonical = canonicalLineEnds(text);
    return canonical.size() >= 2 && canonical.compare(canonical.size() - 2, 2, "\r\n") == 0 ? canonical : canonical + "\r\n";
}

bool HeaderField::isNamed(std::string_view other) const { return equalsIgnoringCase(name, other); }

bool HeaderField::describesContent() const {
    return isNamed("MIME-Version") || (name.size() > 8 && equalsIgnoringCase(name.substr(0, 8), "Content-"));
}

const HeaderField* MimeEntity::field(std::string_view name) const {
    for (const HeaderField& f : fields)
        if (f.isNamed(name)) return &f;
    return nullptr;
}

MimeEntity parseEntity(std::string_view bytes) {
    MimeEntity entity;
    std::size_t at = 0;
    // A mailbox file's separator line ("From sender date") is no field.
    if (std::size_t next = 0; bytes.substr(0, 5) == "From " && fieldNameLength(lineAt(bytes, 0, next)) == 0) at = next;
    while (at < bytes.size()) {
        std::size_t next = 0;
        const std::string_view line = lineAt(bytes, at, next);
        if (line.empty()) {
            entity.body = bytes.substr(next);
            return entity;
        }
        if (isBlank(line.front()) && !entity.fields.empty()) {
            HeaderField& last = entity.fields.back();
            last.text = std::string_view(last.text.data(), next - static_cast<std::size_t>(last.text.data() - bytes.data()));
        } else if (const std::size_t nameLength = fieldNameLength(line)) {
            entity.fields.push_back({line.substr(0, nameLength), bytes.substr(at, next - at)});
        } else {
            entity.strayLine = true; // not a header line: the body starts here
            break;
        }
        at = next;
    }
    entity.body = bytes.substr(at);
    return entity;
}

std::string ContentType::parameter(std::string_view name) const {
    for (const auto& [key, value] : parameters)
        if (key == name) return value;
    return "";
}

ContentType parseContentType(std::string_view value) {
    ContentType type;
    std::size_t at = value.find(';');
    type.mediaType = lowered(trimmed(value.substr(0, at)));
    while (at != std::string_view::npos && at < value.size()) {
        ++at; // past the ';'
        const std::size_t equals = value.find('=', at), next = value.find(';', at);
        if (equals == std::string_view::npos) break;
        if (next < equals) { // a parameter without a value: passed over
            at = next;
            continue;
        }
        const std::string name = lowered(trimmed(value.substr(at, equals - at)));
        std::size_t end = equals + 1;
        while (end < value.size() && isBlank(value[end])) ++end;
        std::string parameterValue;
        if (end < value.size() && value[end] == '"') {
            for (++end; end < value.size() && value[end] != '"'; ++end) {
                if (value[end] == '\\' && end + 1 < value.size()) ++end;
                parameterValue += value[end];
            }
            at = value.find(';', end);
        } else {
            at = value.find(';', end);
            parameterValue = std::string(trimmed(value.substr(end, at == std::string_view::npos ? std::string_view::npos : at - end)));
        }
        type.parameters.emplace_back(name, parameterValue);
    }
    return type;
}

std::string contentTypeText(const ContentType& type) {
    std::string text = type.mediaType;
    for (const auto& [name, value] : type.parameters) {
        const bool token = !value.empty() && std::all_of(value.begin(), value.end(), [](char c) {
            return c > ' ' && c < 0x7f && std::string_view("()<>@,;:\\\"/[]?=").find(c) == std::string_view::npos;
        });
        text += "; " + name + "=";
        if (token) {
            text += value;
            continue;
        }
        text += '"';
        for (char c : value) text += c == '"' || c == '\\' ? std::string{'\\', c} : std::string{c};
        text += '"';
    }
    return text;
}

ContentType contentTypeOf(const MimeEntity& entity) {
    const HeaderField* field = entity.field("Content-Type");
    return field != nullptr ? parseContentType(field->value()) : parseContentType("text/plain");
}

std::optional<std::vector<std::string_view>> splitMultipart(std::string_view body, std::string_view boundary) {
    if (boundary.empty()) return std::nullopt;
    std::vector<std::string_view> parts;
    std::size_t partStart = std::string_view::npos; // where the open part begins
    std::size_t lineStart = 0;
    while (lineStart < body.size()) {
        std::size_t next = 0;
        const std::string_view line = lineAt(body, lineStart, next);
        if (line.size() >= boundary.size() + 2 && line[0] == '-' && line[1] == '-' &&
            line.substr(2, boundary.size()) == boundary) {
            std::string_view rest = line.substr(2 + boundary.size());
            const bool closes = rest.size() >= 2 && rest[0] == '-' && rest[1] == '-';
            if (closes) rest.remove_prefix(2);
            if (std::all_of(rest.begin(), rest.end(), isBlank)) {
                if (partStart != std::string_view::npos) {
                    // The line break before the delimiter belongs to it.
                    std::size_t end = lineStart;
                    if (end > partStart && body[end - 1] == '\n') --end;
                    if (end > partStart && body[end - 1] == '\r') --end;
                    parts.push_back(body.substr(partStart, end - partStart));
                }
                if (closes) return parts;
                partStart = next;
            }
        }
        lineStart = next;
    }
    return std::nullopt;
}

bool hasBareLf(std::string_view text) {
    for (std::size_t lf = text.find('\n'); lf != std::string_view::npos; lf = text.find('\n', lf + 1))
        if (lf == 0 || text[lf - 1] != '\r') return true;
    return false;
}

std::size_t bareLfCount(std::string_view text) {
    std::size_t count = 0;
    for (std::size_t lf = text.find('\n'); lf != std::string_view::npos; lf = text.find('\n', lf + 1))
        count += lf == 0 || text[lf - 1] != '\r';
    return count;
}

void writeCanonicalLineEnds(std::string_view text, char* out) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) *out++ = '\r';
        *out++ = text[i];
    }
}

std::string canonicalLineEnds(std::string_view text) {
    std::string out(text.size() + bareLfCount(text), '\0');
    writeCanonicalLineEnds(text, out.data());
    return out;
}

} // namespace smimetool
