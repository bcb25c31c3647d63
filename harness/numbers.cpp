#include "numbers.hpp"

#include <cerrno>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

namespace harness {

namespace {

bool blank_or_padded(const std::string& text)
{
    // strtol and strtod skip leading blanks; a setting with them is a typo.
    return text.empty() || std::isspace(static_cast<unsigned char>(text.front())) ||
           std::isspace(static_cast<unsigned char>(text.back()));
}

std::string range_text(double min, double max)
{
    auto show = [](double v) {
        std::string s = std::to_string(v);
        s.erase(s.find_last_not_of('0') + 1);
        if (s.back() == '.')
            s.pop_back();
        return s;
    };
    return "from " + show(min) + " to " + show(max);
}

}  // namespace

std::optional<long> parse_whole(const std::string& text, long min, long max)
{
    if (blank_or_padded(text))
        return std::nullopt;
    errno = 0;
    char* end = nullptr;
    long value = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < min || value > max)
        return std::nullopt;
    return value;
}

std::optional<double> parse_decimal(const std::string& text, double min, double max)
{
    if (blank_or_padded(text))
        return std::nullopt;
    errno = 0;
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(value) || value < min || value > max)
        return std::nullopt;
    return value;
}

long whole_setting(const char* name, long fallback, long min, long max)
{
    const char* text = std::getenv(name);
    if (!text)
        return fallback;
    if (auto value = parse_whole(text, min, max))
        return *value;
    throw std::invalid_argument(std::string(name) + "='" + text + "' is not a whole number " +
                                range_text(double(min), double(max)) +
                                "; set it to one, or unset it for " + std::to_string(fallback));
}

double decimal_setting(const char* name, double fallback, double min, double max)
{
    const char* text = std::getenv(name);
    if (!text)
        return fallback;
    if (auto value = parse_decimal(text, min, max))
        return *value;
    throw std::invalid_argument(std::string(name) + "='" + text + "' is not a number " +
                                range_text(min, max) + "; set it to one, or unset it");
}

}  // namespace harness
