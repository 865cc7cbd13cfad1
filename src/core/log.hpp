// Progress lines of the logged fits: whole-line writes to standard error and
// the few number formats those lines use.
#pragma once

#include <string>
#include <string_view>

namespace velk {

/// Writes `line` (which carries its own trailing newline) to file descriptor 2
/// in a single write() call, so lines from concurrent writers never interleave;
/// it only loops to finish a partial write or to retry after EINTR. Errors are
/// ignored: a progress line is not worth failing a fit over. Never throws.
void write_stderr_line(std::string_view line) noexcept;

/// Fixed-point with `decimals` decimals ("%.*f"): fixed(0.5, 3) == "0.500".
/// Infinities print as "inf"/"-inf", negative zero keeps its sign ("-0.000"),
/// and NaN prints as "NaN" whatever its sign bit, so a failed evaluation reads
/// the same in every log. Throws std::bad_alloc only.
std::string fixed(double v, int decimals);

/// As fixed(), with the sign always shown ("%+.*f"): signed_fixed(2, 3) ==
/// "+2.000", signed_fixed(-0.0, 3) == "-0.000", infinities "+inf"/"-inf", NaN "NaN".
std::string signed_fixed(double v, int decimals);

/// Integer right-aligned in a field of `width` characters ("%*lld"); longer
/// numbers are not cut: padded(7, 3) == "  7", padded(1234, 3) == "1234".
std::string padded(long long v, int width);

}  // namespace velk
