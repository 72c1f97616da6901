#include "time_text.h"

#include <cctype>
#include <ctime>

namespace smimetool {

namespace {

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t yearOfEra = year - era * 400;
    const std::int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

bool isLeap(std::int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// Reads exactly count digits at text[at]; false when they are not there.
bool digits(const std::string& text, std::size_t& at, std::size_t count, unsigned& value) {
    value = 0;
    for (std::size_t end = at + count; at < end; ++at) {
        if (at >= text.size() || !std::isdigit(static_cast<unsigned char>(text[at]))) return false;
        value = value * 10 + static_cast<unsigned>(text[at] - '0');
    }
    return true;
}

bool expect(const std::string& text, std::size_t& at, char c) { return at < text.size() && text[at++] == c; }

} // namespace

std::string utcTime(std::int64_t seconds) {
    const std::time_t when = static_cast<std::time_t>(seconds);
    std::tm parts{};
    char text[32] = "";
#if defined(_WIN32)
    const bool converted = gmtime_s(&parts, &when) == 0;
#else
    const bool converted = gmtime_r(&when, &parts) != nullptr;
#endif
    if (converted) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
    return text;
}

bool parseTime(const std::string& text, std::int64_t& seconds) {
    if (!text.empty() && text.size() <= 12 && text.find_first_not_of("0123456789") == std::string::npos) {
        seconds = std::stoll(text);
        return true;
    }
    std::size_t at = 0;
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!digits(text, at, 4, year) || !expect(text, at, '-') || !digits(text, at, 2, month) ||
        !expect(text, at, '-') || !digits(text, at, 2, day))
        return false;
    static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1] + (month == 2 && isLeap(year))) return false;
    std::int64_t offset = 0;
    if (at < text.size()) {
        if ((text[at] != 'T' && text[at] != ' ') || !digits(text, ++at, 2, hour) || !expect(text, at, ':') ||
            !digits(text, at, 2, minute))
            return false;
        if (at < text.size() && text[at] == ':' && !digits(text, ++at, 2, second)) return false;
        if (hour > 23 || minute > 59 || second > 60) return false;
        if (at < text.size() && text[at] == 'Z') {
            ++at;
        } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
            const int sign = text[at++] == '+' ? 1 : -1;
            unsigned zoneHours = 0, zoneMinutes = 0;
            if (!digits(text, at, 2, zoneHours) || !expect(text, at, ':') || !digits(text, at, 2, zoneMinutes) ||
                zoneHours > 23 || zoneMinutes > 59)
                return false;
            offset = sign * static_cast<std::int64_t>(zoneHours * 3600 + zoneMinutes * 60);
        }
    }
    if (at != text.size()) return false;
    seconds = daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second - offset;
    return true;
}

} // namespace smimetool
