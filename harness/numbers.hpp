// Numbers from command lines and the environment, parsed strictly: the
// whole text must be one finite number, or it is refused. (atoi and atof
// read "abc" as 0 and "nan" as a number, and a run then does something
// nobody asked for.)
#pragma once

#include <optional>
#include <string>

namespace harness {

// A whole number in [min, max], written in decimal with an optional sign.
std::optional<long> parse_whole(const std::string& text, long min, long max);
// A finite decimal number in [min, max].
std::optional<double> parse_decimal(const std::string& text, double min, double max);

// An environment variable holding a whole number, or `fallback` when it is
// unset. Anything else throws std::invalid_argument naming the variable.
long whole_setting(const char* name, long fallback, long min, long max);
double decimal_setting(const char* name, double fallback, double min, double max);

}  // namespace harness
