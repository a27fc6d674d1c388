#include <cstdint>
#include <string>
#include <string_view>

#include "arith/fast/lengths.h"
#include "base/numbers.h"
#include "cli/options.h"

namespace {

constexpr int32_t kLargestExponent = 2147483647;

// A decimal number of digits only, up to 2^31 - 1; false with a reason otherwise.
bool parse_number(std::string_view s, int32_t* out, std::string* why) {
  int64_t v = 0;
  switch (read_decimal(s, kLargestExponent, &v)) {
    case decimal_read::ok:
      *out = static_cast<int32_t>(v);
      return true;
    case decimal_read::empty:
      *why = "missing number";
      return false;
    case decimal_read::not_decimal:
      *why = "not a decimal number: '" + std::string(s) + "'";
      return false;
    case decimal_read::too_large:
      break;
  }
  *why = "exponent " + std::string(s) + " is too large (the largest is 2147483647)";
  return false;
}

// token in single quotes. (Built by appending: GCC 12 warns falsely about "'" + std::string.)
std::string quoted(std::string_view token) {
  std::string s = "'";
  s += token;
  s += "'";
  return s;
}

}  // namespace

bool parse_exponent(std::string_view token, exponent_span* out, std::string* why) {
  if (!token.empty() && token[0] == '-') {
    const std::string_view rest = token.substr(1);
    const bool number = !rest.empty() && rest.find_first_not_of("0123456789") == std::string_view::npos;
    if (number)
      *why = "exponent " + std::string(token) + " is below 2";
    else if (token.substr(0, 2) == "--")
      *why = quoted(token) + " is not an exponent (after '--' every word is read as one)";
    else
      *why = quoted(token) + " is not an exponent";
    return false;
  }
  const size_t dash = token.find('-');
  exponent_span span;
  if (dash == std::string_view::npos) {
    if (!parse_number(token, &span.first, why)) return false;
    span.last = span.first;
  } else {
    if (!parse_number(token.substr(0, dash), &span.first, why) ||
        !parse_number(token.substr(dash + 1), &span.last, why)) {
      *why = "bad range '" + std::string(token) + "': " + *why;
      return false;
    }
    if (span.first > span.last) {
      *why = "empty range '" + std::string(token) + "' (its start is above its end)";
      return false;
    }
  }
  if (span.first < 2) {
    *why = "exponent " + std::to_string(span.first) + " is below 2 ('" + std::string(token) + "')";
    return false;
  }
  *out = span;
  return true;
}

bool parse_bench_length(std::string_view token, bench_length* out, std::string* why) {
  std::string_view digits = token;
  int shift = 0;
  if (!digits.empty() && (digits.back() == 'K' || digits.back() == 'k')) shift = 10;
  if (!digits.empty() && (digits.back() == 'M' || digits.back() == 'm')) shift = 20;
  if (shift != 0) digits.remove_suffix(1);
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) {
    *why = quoted(token) + " is not a transform length (digits, optionally followed by K or M)";
    return false;
  }
  const int64_t largest = fast_length(fast_length_count() - 1);
  int64_t v = 0;
  for (char c : digits) {
    v = v * 10 + (c - '0');
    if (v > (largest >> shift)) {
      *why = "transform length " + std::string(token) + " is beyond the fast engine's largest, " +
             std::to_string(largest);
      return false;
    }
  }
  if (v == 0) {
    *why = "transform length " + std::string(token) + " is zero";
    return false;
  }
  const int64_t asked = v << shift;
  for (int i = 0; i < fast_length_count(); ++i)
    if (fast_length(i) >= asked) {
      *out = {asked, fast_length(i)};
      return true;
    }
  *why = "no fast engine length for " + std::string(token);  // unreachable: asked <= largest
  return false;
}

bool parse_exponent_list(std::string_view text, std::vector<exponent_span>* out, std::string* why) {
  std::vector<exponent_span> spans;
  size_t line_no = 0;
  while (!text.empty()) {
    ++line_no;
    const size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    for (;;) {
      const size_t start = line.find_first_not_of(" \t\r");
      if (start == std::string_view::npos || line[start] == '#') break;
      line.remove_prefix(start);
      const size_t end = std::min(line.find_first_of(" \t\r"), line.size());
      exponent_span span;
      if (!parse_exponent(line.substr(0, end), &span, why)) {
        *why = "line " + std::to_string(line_no) + ": " + *why;
        return false;
      }
      spans.push_back(span);
      line.remove_prefix(end);
    }
  }
  out->insert(out->end(), spans.begin(), spans.end());
  return true;
}

bool parse_shard(std::string_view token, int* index, int* count, std::string* why) {
  const size_t slash = token.find('/');
  int32_t i = 0, n = 0;
  if (slash == std::string_view::npos || !parse_number(token.substr(0, slash), &i, why) ||
      !parse_number(token.substr(slash + 1), &n, why) || i < 1 || i > n) {
    *why = "--shard takes I/N with 1 <= I <= N, not '" + std::string(token) + "'";
    return false;
  }
  *index = i;
  *count = n;
  return true;
}
