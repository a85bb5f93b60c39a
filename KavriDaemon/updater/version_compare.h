#ifndef KAVRI_UPDATER_VERSION_COMPARE_H_
#define KAVRI_UPDATER_VERSION_COMPARE_H_

#include <string_view>

namespace kavri {

// Orders two bundle versions the way update feeds expect: each version is
// split into runs of digits (numbers) and runs of other characters
// (strings), periods only separating them, and the parts are compared in
// turn. Numbers compare by value (of any length), strings byte by byte; a
// number is newer than a string. A missing part counts as 0, so "1.0"
// equals "1.0.0", "1.0.1" is newer than "1.0", and a string where the other
// version has nothing marks a pre-release ("1.0b1" is older than "1.0").
// The order is consistent for any input, however odd.
//
// Returns a negative number when `a` is older than `b`, 0 when they are the
// same version, a positive number when `a` is newer. Pure; any thread.
int compareVersions(std::string_view a, std::string_view b);

}  // namespace kavri

#endif  // KAVRI_UPDATER_VERSION_COMPARE_H_
