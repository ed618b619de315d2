#include "cli/args.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <locale.h>
#include <optional>
#include <string_view>
#include <vector>

Args args;

namespace {

// Each unreadable value falls back to the field's default, so the defaults live in Args alone.
const Args defaults;

// The decimal separator is "." whatever the user's locale. A private C locale object gives
// strtod that rule without touching the process's global locale.
locale_t posixLocale() {
  static const locale_t c = newlocale(LC_ALL_MASK, "C", locale_t{});
  return c;
}

bool isSpace(char c) { return std::string_view(" \t\n\v\f\r").find(c) != std::string_view::npos; }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// A number must be the whole value: strtod would skip leading white space and stop at
// trailing junk, and either would let a mistyped value pass for a number.
// A value beyond a double's range reads as strtod gives it (ERANGE is not consulted):
// 1e400 is infinity and 1e-400 is zero, the nearest thing to what was typed; the modes cope
// with values that are not finite.
std::optional<double> number(const std::string& text) {
  if (text.empty() || isSpace(text.front())) return std::nullopt;
  char* end = nullptr;
  double value = strtod_l(text.c_str(), &end, posixLocale());
  if (end != text.c_str() + text.size()) return std::nullopt;
  return value;
}

// An optional sign, then ASCII digits only, within int64. from_chars takes "-" but not "+"
// and stops quietly at the first non-digit, so the shape is checked first.
std::optional<std::int64_t> integer(std::string_view piece) {
  bool plus = piece.starts_with('+');
  std::string_view digits = piece.substr(plus || piece.starts_with('-') ? 1 : 0);
  if (digits.empty() || !std::ranges::all_of(digits, isDigit)) return std::nullopt;
  if (plus) piece.remove_prefix(1);
  std::int64_t value = 0;
  if (std::from_chars(piece.data(), piece.data() + piece.size(), value).ec != std::errc{})
    return std::nullopt;
  return value;
}

// "WxH", split at lower-case 'x' only; pieces that are not integers are dropped. A value
// that does not leave exactly two integers keeps the size an earlier "--size" gave. (Split by
// hand: clang 14, which builds the fuzz targets, cannot compile libstdc++ 12's views::split.)
void readSize(std::string_view text, Args& a) {
  std::vector<std::int64_t> sides;
  for (std::size_t start = 0; start <= text.size();) {
    const std::size_t end = std::min(text.find('x', start), text.size());
    if (auto side = integer(text.substr(start, end - start))) sides.push_back(*side);
    start = end + 1;
  }
  if (sides.size() != 2) return;
  a.width = sides[0];
  a.height = sides[1];
}

// Smoothing weighs the previous frame's mask by this strength, so it is capped below 1 to
// let every new frame show through; NaN and negatives turn smoothing off.
double smoothLimited(double strength) { return strength >= 0 ? std::min(strength, 0.95) : 0.0; }

bool isOff(std::string_view text) { return text == "0" || text == "false" || text == "off"; }

void apply(Args& a, std::string_view key, const std::string& value) {
  if (key == "--in") a.input = value;
  else if (key == "--image") a.image = value;
  else if (key == "--out") a.out = value;
  else if (key == "--ss") a.ss = number(value).value_or(defaults.ss);
  else if (key == "--t") a.t = number(value).value_or(defaults.t);
  else if (key == "--size") readSize(value, a);
  else if (key == "--feather") a.feather = number(value).value_or(defaults.feather);
  else if (key == "--erode") a.erode = number(value).value_or(defaults.erode);
  else if (key == "--mode") a.mode = value;
  else if (key == "--decontaminate") a.decontaminate = !isOff(value);
  else if (key == "--smooth") a.smooth = smoothLimited(number(value).value_or(defaults.smooth));
}

}  // namespace

Args parse(int argc, const char* const* argv) {
  Args a;
  // Nothing marks a value, so pairing is by position alone: a value may begin with "--", and
  // an unknown key takes its value with it rather than letting it be read as a key.
  for (int i = 1; i < argc; i += 2) apply(a, argv[i], i + 1 < argc ? argv[i + 1] : "");
  return a;
}
