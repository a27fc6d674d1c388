#include "formats/worktodo.h"

#include <algorithm>
#include <cctype>

#include "base/numbers.h"
#include "formats/factor_classes.h"

namespace {

constexpr int64_t kLargestExponent = 2147483647;
constexpr int64_t kLargestBits = 200;  // a factoring depth beyond any the server hands out
constexpr int64_t kLargestBound = 1000000000000000000;  // a P-1 bound far beyond any run's reach

std::string_view trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

bool same_word(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// The comma-separated fields of s, a quoted field ("...", which may hold commas) kept whole with its quotes.
std::vector<std::string_view> fields_of(std::string_view s, bool* unclosed) {
  std::vector<std::string_view> out;
  *unclosed = false;
  size_t start = 0;
  bool quoted = false;
  for (size_t i = 0; i <= s.size(); ++i) {
    if (i < s.size() && s[i] == '"') quoted = !quoted;
    if (i == s.size() || (s[i] == ',' && !quoted)) {
      out.push_back(trim(s.substr(start, i - start)));
      start = i + 1;
    }
  }
  *unclosed = quoted;
  return out;
}

bool is_aid(std::string_view f) {
  if (f == "N/A" || f == "n/a") return true;
  return f.size() == 32 && std::all_of(f.begin(), f.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

// A whole number in [lo, hi] into *out; false with *why naming what it is.
bool number(std::string_view f, int64_t lo, int64_t hi, const char* what, int64_t* out, std::string* why) {
  int64_t v = 0;
  if (read_decimal(f, hi, &v) != decimal_read::ok || v < lo) {
    *why = std::string(what) + " '" + std::string(f) + "' is not a whole number from " + std::to_string(lo) + " to " +
           std::to_string(hi);
    return false;
  }
  *out = v;
  return true;
}

// A number of tests saved (a decimal with an optional fraction) into *out,
// rounded to the nearest whole number but at least 1 where it is above 0.
bool tests_saved(std::string_view f, int* out) {
  const size_t dot = f.find('.');
  int64_t whole = 0, fraction = 0;
  if (read_decimal(f.substr(0, dot), 1000, &whole) != decimal_read::ok) return false;
  if (dot != std::string_view::npos && read_decimal(f.substr(dot + 1), INT64_MAX, &fraction) != decimal_read::ok)
    return false;
  const bool half_up = dot != std::string_view::npos && f[dot + 1] >= '5';
  *out = static_cast<int>(whole) + (half_up ? 1 : 0);
  if (*out == 0 && fraction > 0) *out = 1;
  return true;
}

struct work_name {
  const char* name;
  work_type type;
};
constexpr work_name kNames[] = {{"Test", work_type::ll},     {"DoubleCheck", work_type::double_check},
                                {"PRP", work_type::prp},      {"PRPDC", work_type::prp_dc},
                                {"Factor", work_type::factor}, {"Pminus1", work_type::pminus1},
                                {"Pfactor", work_type::pfactor}};

// The fields k,b,n,c at f[0..3] as a Mersenne number's exponent into a.p.
bool mersenne_fields(const std::vector<std::string_view>& f, assignment* a, std::string* why) {
  if (f.size() < 4) {
    *why = "expected k,b,n,c";
    return false;
  }
  int64_t n = 0;
  if (f[0] != "1" || f[1] != "2" || f[3] != "-1") {
    std::string text = "'";
    for (int i = 0; i < 4; ++i) text.append(f[i]).append(i < 3 ? "," : "' is not a Mersenne number 1,2,p,-1");
    *why = std::move(text);
    return false;
  }
  if (!number(f[2], 2, kLargestExponent, "exponent", &n, why)) return false;
  a->p = static_cast<int32_t>(n);
  return true;
}

// The fields k,b,n,c at f[0..3] of a P-1 line: a Mersenne number's exponent
// into a->p, or a->refusal for a number of another form; false with *why
// when they are not numbers at all.
bool p1_number(const std::vector<std::string_view>& f, assignment* a, std::string* why) {
  int64_t v = 0;
  const auto whole = [&](std::string_view x) {
    if (!x.empty() && x.front() == '-') x.remove_prefix(1);
    return read_decimal(x, INT64_MAX, &v) != decimal_read::not_decimal && !x.empty();
  };
  if (f.size() >= 4 && (f[0] != "1" || f[1] != "2" || f[3] != "-1") && whole(f[0]) && whole(f[1]) && whole(f[2]) &&
      whole(f[3])) {
    a->refusal = "P-1 of '" + std::string(f[0]) + "," + std::string(f[1]) + "," + std::string(f[2]) + "," +
                 std::string(f[3]) + "' is not supported (only Mersenne numbers 1,2,p,-1)";
    return true;
  }
  return mersenne_fields(f, a, why);
}

// The fields of a Pminus1= line after 1,2,p,-1 (B1,B2[,how_far_factored]
// [,B2_start][,"factors"]) into *a; false with *why. B2 of 0 or below B1
// means stage 1 alone (b2 = b1); a single field after B2 is how_far_factored
// where it is a factoring depth (at most 2^200), else B2_start; a B2_start at
// or below B1 means from B1 (b2_start 0).
bool pminus1_fields(std::vector<std::string_view> f, assignment* a, std::string* why) {
  if (!f.empty() && !f.back().empty() && f.back().front() == '"') {
    a->known_factors = trim(f.back().substr(1, f.back().size() - 2)).size() > 0;
    f.pop_back();
  }
  if (f.size() < 2 || f.size() > 4) {
    *why = "expected B1,B2[,how_far_factored][,B2_start] after 1,2,p,-1";
    return false;
  }
  int64_t b1 = 0, b2 = 0, v = 0;
  if (!number(f[0], 2, kLargestBound, "B1", &b1, why) || !number(f[1], 0, kLargestBound, "B2", &b2, why)) return false;
  a->b1 = static_cast<uint64_t>(b1);
  a->b2 = b2 < b1 ? a->b1 : static_cast<uint64_t>(b2);
  size_t next = 2;
  if (f.size() == 4 || (f.size() == 3 && read_decimal(f[2], kLargestBits, &v) == decimal_read::ok)) {
    if (!number(f[2], 0, kLargestBits, "how_far_factored", &v, why)) return false;
    a->factored_to = static_cast<int>(v);
    ++next;
  }
  if (next < f.size()) {
    if (!number(f[next], 0, kLargestBound, "B2_start", &v, why)) return false;
    if (static_cast<uint64_t>(v) > a->b2) {
      *why = "B2_start " + std::to_string(v) + " is above B2 " + std::to_string(a->b2);
      return false;
    }
    a->b2_start = static_cast<uint64_t>(v) > a->b1 ? static_cast<uint64_t>(v) : 0;
  }
  if (a->known_factors) a->refusal = "P-1 of a cofactor (known factors) is not supported";
  return true;
}

// The fields after "Name=" of an assignment of type t into *a; false with *why.
bool read_fields(work_type t, std::string_view rest, assignment* a, std::string* why) {
  bool unclosed = false;
  std::vector<std::string_view> f = fields_of(rest, &unclosed);
  if (unclosed) {
    *why = "a quote is not closed";
    return false;
  }
  if (!f.empty() && is_aid(f[0])) {
    if (f[0] != "N/A" && f[0] != "n/a") {
      a->aid = std::string(f[0]);
      std::transform(a->aid.begin(), a->aid.end(), a->aid.begin(), [](unsigned char c) { return std::toupper(c); });
    }
    f.erase(f.begin());
  }
  int64_t v = 0;
  switch (t) {
    case work_type::ll:
    case work_type::double_check:
      // p[,how_far_factored[,p-1_done]]
      if (f.empty() || f.size() > 3) {
        *why = "expected p,how_far_factored,p-1_done";
        return false;
      }
      if (!number(f[0], 2, kLargestExponent, "exponent", &v, why)) return false;
      a->p = static_cast<int32_t>(v);
      if (f.size() > 1 && !number(f[1], 0, kLargestBits, "how_far_factored", &v, why)) return false;
      a->factored_to = f.size() > 1 ? static_cast<int>(v) : 0;
      if (f.size() > 2 && f[2] != "0" && f[2] != "1") {
        *why = "p-1_done '" + std::string(f[2]) + "' is neither 0 nor 1";
        return false;
      }
      // P-1 not done yet: a factor would save this test, and a first test's double-check too.
      if (f.size() > 2 && f[2] == "0") a->tests_saved = t == work_type::ll ? 2 : 1;
      return true;
    case work_type::prp:
    case work_type::prp_dc: {
      if (!mersenne_fields(f, a, why)) return false;
      f.erase(f.begin(), f.begin() + 4);
      if (!f.empty() && f.back().size() >= 2 && f.back().front() == '"') {
        a->known_factors = trim(f.back().substr(1, f.back().size() - 2)).size() > 0;
        f.pop_back();
      }
      if (f.size() != 0 && f.size() != 2 && f.size() != 4) {
        *why = "expected how_far_factored,tests_saved and then base,residue_type after 1,2,p,-1";
        return false;
      }
      if (!f.empty()) {
        if (!number(f[0], 0, kLargestBits, "how_far_factored", &v, why)) return false;
        a->factored_to = static_cast<int>(v);
        if (!tests_saved(f[1], &a->tests_saved)) {
          *why = "tests_saved '" + std::string(f[1]) + "' is not a number";
          return false;
        }
      }
      if (f.size() == 4) {
        if (!number(f[2], 2, INT32_MAX, "base", &v, why)) return false;
        a->prp_base = static_cast<int>(v);
        if (!number(f[3], 1, 5, "residue type", &v, why)) return false;
        a->residue_type = static_cast<int>(v);
      }
      if (a->prp_base != 3)
        a->refusal = "base " + std::to_string(a->prp_base) + " is not supported (only base 3)";
      else if (a->residue_type != 1)
        a->refusal = "residue type " + std::to_string(a->residue_type) + " is not supported (only type 1, 3^(N-1))";
      else if (a->known_factors)
        a->refusal = "a test of a cofactor (known factors) is not supported";
      return true;
    }
    case work_type::factor: {
      if (f.size() != 3) {
        *why = "expected p,how_far_factored,how_far_to_factor_to";
        return false;
      }
      if (!number(f[0], 2, kLargestExponent, "exponent", &v, why)) return false;
      a->p = static_cast<int32_t>(v);
      if (!number(f[1], 0, kLargestBits, "how_far_factored", &v, why)) return false;
      a->factored_to = static_cast<int>(v);
      if (!number(f[2], 1, kLargestBits, "how_far_to_factor_to", &v, why)) return false;
      a->factor_to = static_cast<int>(v);
      if (a->factor_to <= a->factored_to) {
        *why = "nothing to factor: how_far_to_factor_to " + std::to_string(a->factor_to) +
               " is not above how_far_factored " + std::to_string(a->factored_to);
        return false;
      }
      if (a->factor_to > kFactorMaxBits)
        a->refusal = "trial factoring beyond 2^" + std::to_string(kFactorMaxBits) + " is not supported";
      return true;
    }
    case work_type::pfactor:
      // 1,2,p,-1,how_far_factored,tests_saved
      if (!p1_number(f, a, why)) return false;
      if (!a->refusal.empty()) return true;
      if (f.size() != 6) {
        *why = "expected how_far_factored,tests_saved after 1,2,p,-1";
        return false;
      }
      if (!number(f[4], 0, kLargestBits, "how_far_factored", &v, why)) return false;
      a->factored_to = static_cast<int>(v);
      if (!tests_saved(f[5], &a->tests_saved)) {
        *why = "tests_saved '" + std::string(f[5]) + "' is not a number";
        return false;
      }
      if (a->tests_saved == 0) a->refusal = "tests_saved is 0: a factor would save no test, so no P-1 bounds pay";
      return true;
    case work_type::pminus1:
      // 1,2,p,-1,B1,B2[,how_far_factored][,B2_start][,"factors"]
      if (!p1_number(f, a, why)) return false;
      if (!a->refusal.empty()) return true;
      return pminus1_fields({f.begin() + 4, f.end()}, a, why);
  }
  return false;
}

}  // namespace

const char* work_type_name(work_type t) {
  switch (t) {
    case work_type::ll:
    case work_type::double_check:
      return "LL";
    case work_type::prp:
    case work_type::prp_dc:
      return "PRP-3";
    case work_type::factor:
      return "TF";
    case work_type::pminus1:
    case work_type::pfactor:
      return "P-1";
  }
  return "?";
}

work_line parse_work_line(std::string_view line) {
  work_line w;
  w.text = std::string(line);
  const std::string_view s = trim(line);
  if (s.empty() || s[0] == '#') return w;
  const auto bad = [&](std::string why) {
    w.what = work_line::kind::bad;
    w.why = std::move(why);
    return w;
  };
  if (s.front() == '[') {
    // [Worker #n]
    std::string_view in = trim(s.substr(1));
    int64_t n = 0;
    if (s.back() != ']' || !same_word(in.substr(0, 6), "worker")) return bad("not a section line [Worker #n]");
    in = trim(in.substr(6, in.size() - 7));
    if (in.empty() || in[0] != '#' || read_decimal(trim(in.substr(1)), 1 << 20, &n) != decimal_read::ok || n < 1)
      return bad("not a section line [Worker #n]");
    w.what = work_line::kind::section;
    w.section = static_cast<int>(n);
    return w;
  }
  if (std::isdigit(static_cast<unsigned char>(s[0]))) {
    int64_t p = 0;
    std::string why;
    if (!number(s, 2, kLargestExponent, "exponent", &p, &why)) return bad(why);
    w.what = work_line::kind::task;
    w.task.p = static_cast<int32_t>(p);
    return w;
  }
  const size_t eq = s.find('=');
  if (eq == std::string_view::npos) return bad("not an assignment (Name=fields), an exponent or a comment");
  const std::string_view name = trim(s.substr(0, eq));
  const auto known = std::find_if(std::begin(kNames), std::end(kNames), [&](const work_name& n) { return same_word(name, n.name); });
  if (known == std::end(kNames)) return bad("unknown work type '" + std::string(name) + "'");
  w.task.type = known->type;
  std::string why;
  if (!read_fields(known->type, s.substr(eq + 1), &w.task, &why)) return bad(std::string(known->name) + "=: " + why);
  w.what = work_line::kind::task;
  return w;
}

std::vector<work_line> parse_work_file(std::string_view text) {
  std::vector<work_line> out;
  int section = 0, line_no = 0;
  while (!text.empty()) {
    const size_t nl = text.find('\n');
    work_line w = parse_work_line(text.substr(0, nl));
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    w.line_no = ++line_no;
    if (w.what == work_line::kind::section) section = w.section;
    w.section = section;
    out.push_back(std::move(w));
  }
  return out;
}

std::string remove_work_line(std::string_view text, std::string_view line) {
  size_t at = 0;
  while (at < text.size()) {
    const size_t nl = text.find('\n', at);
    const size_t end = nl == std::string_view::npos ? text.size() : nl;
    if (text.substr(at, end - at) == line)
      return std::string(text.substr(0, at)) + std::string(text.substr(std::min(text.size(), end + 1)));
    at = end + 1;
  }
  return std::string(text);
}
