#include "log.hpp"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>

namespace velk {
namespace {

// snprintf into a string sized from snprintf's own count: a fixed-point
// double can run to 309 integer digits, and a field width can be anything.
template <class... Args>
std::string print_to_string(const char* format, Args... args) {
  char small[64];
  const int needed = std::snprintf(small, sizeof small, format, args...);
  if (needed < 0) return {};
  const auto size = static_cast<std::size_t>(needed);
  if (size < sizeof small) return std::string(small, size);
  std::string text(size + 1, '\0');
  std::snprintf(text.data(), text.size(), format, args...);
  text.resize(size);
  return text;
}

std::string format_double(const char* format, double v, int decimals) {
  if (std::isnan(v)) return "NaN";
  return print_to_string(format, decimals, v);
}

}  // namespace

void write_stderr_line(std::string_view line) noexcept {
  const char* next = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const ssize_t written = ::write(STDERR_FILENO, next, left);
    if (written > 0) {
      next += written;
      left -= static_cast<std::size_t>(written);
    } else if (written < 0 && errno == EINTR) {
      continue;
    } else {
      return;
    }
  }
}

std::string fixed(double v, int decimals) { return format_double("%.*f", v, decimals); }

std::string signed_fixed(double v, int decimals) { return format_double("%+.*f", v, decimals); }

std::string padded(long long v, int width) { return print_to_string("%*lld", width, v); }

}  // namespace velk
