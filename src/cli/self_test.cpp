#include "cli/self_test.h"

#include <gmp.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <exception>
#include <memory>
#include <new>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "arith/fast/fast.h"
#include "arith/fast/lengths.h"
#include "arith/fast/self_test_start.h"
#include "arith/fast/squarer.h"
#include "arith/fast/transforms.h"
#include "arith/fast/two_pass.h"
#include "arith/residue.h"
#include "base/machine.h"
#include "cli/line_output.h"
#include "cli/self_test_residues.h"
#include "cli/status_line.h"

namespace {

// A step whose rounding distance reaches this is a failure: its result may
// be wrong. One at the engine's retry bound (0.4) but below this is still
// exact; a test would redo it at a longer length, and it is counted.
constexpr double kRoundingLimit = 0.5;
constexpr double kRetryDistance = 0.4;
// The one-transform squarer runs below this length only (above it the
// two-pass iteration always serves, and it would cost 96 bytes a word).
constexpr int64_t kOneTransformBelow = 262144;
// The quick sample: every length up to kQuickEvery, then the first length of
// each octave up to kQuickUpTo.
constexpr int64_t kQuickEvery = 16384;
constexpr int64_t kQuickUpTo = int64_t{1} << 20;

// One chain of the data: from self_test_start(p, n), iterations steps, a
// third each of s^2 - 2, s^2 and 3 s^2, with the Res64 at each checkpoint.
struct chain {
  int64_t n = 0;
  int32_t p = 0;
  int64_t iterations = 0;
  std::vector<std::pair<int64_t, uint64_t>> marks;  // ascending iteration, Res64
};

// Reads a whole decimal number at the front of s (advancing it); false when none.
bool read_number(std::string_view& s, int64_t* out) {
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *out);
  if (ec != std::errc() || end == s.data()) return false;
  s.remove_prefix(static_cast<size_t>(end - s.data()));
  return true;
}

// Takes the character c at the front of s; false when s does not start with it.
bool take(std::string_view& s, char c) {
  if (s.empty() || s[0] != c) return false;
  s.remove_prefix(1);
  return true;
}

// The chains of the data text, in its order; false with the line that is
// not one (a chain of checkpoints in order, ending at its last iteration).
bool parse_chains(std::string_view text, std::vector<chain>* out, std::string* why) {
  int line_number = 0;
  while (!text.empty()) {
    const size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    ++line_number;
    if (line.empty() || line[0] == '#') continue;
    chain c;
    int64_t p = 0;
    const auto bad = [&] {
      *why = "line " + std::to_string(line_number) + " of the expected residues is not a chain";
      return false;
    };
    if (!read_number(line, &c.n) || !take(line, ' ') || !read_number(line, &p) || !take(line, ' ') ||
        !read_number(line, &c.iterations))
      return bad();
    if (c.n < 1 || p < 3 || p > INT32_MAX || p < c.n || c.iterations < 3 || c.iterations % 3 != 0) return bad();
    c.p = static_cast<int32_t>(p);
    while (!line.empty()) {
      int64_t k = 0;
      uint64_t res = 0;
      if (!take(line, ' ') || !read_number(line, &k) || !take(line, ':') || line.size() < 16) return bad();
      const auto [end, ec] = std::from_chars(line.data(), line.data() + 16, res, 16);
      if (ec != std::errc() || end != line.data() + 16) return bad();
      line.remove_prefix(16);
      if (k < 1 || k > c.iterations || (!c.marks.empty() && k <= c.marks.back().first)) return bad();
      c.marks.emplace_back(k, res);
    }
    if (c.marks.empty() || c.marks.back().first != c.iterations) return bad();
    out->push_back(std::move(c));
  }
  return true;
}

// How one length and path came out.
struct path_result {
  enum kind { ok, mismatch, rounding, not_run } what = ok;
  int64_t iteration = 0;  // mismatch, rounding: the first checkpoint that differed, the step that crossed
  int32_t p = 0;          // the chain that failed
  double distance = 0;    // rounding: the step's distance
  std::string error;      // not_run: why
  int64_t retries = 0;    // steps at the retry bound or above (below kRoundingLimit)
};

// Runs c on st from its start; damaged: the residue after the first step is
// changed by one (to see that the check catches a fault).
path_result run_chain(stepper& st, const chain& c, bool damaged) {
  mpz_value v;
  self_test_start(v, c.p, c.n);
  st.load(v);
  const int64_t third = c.iterations / 3;
  size_t next = 0;
  int64_t retries = 0;
  for (int64_t k = 1; k <= c.iterations; ++k) {
    const double d = k <= third       ? st.square(2, 0, kRoundingLimit)
                     : k <= 2 * third ? st.square(0, 0, kRoundingLimit)
                                      : st.square_times(3, kRoundingLimit);
    if (!(d < kRoundingLimit)) return {path_result::rounding, k, c.p, d, {}, retries};
    if (d >= kRetryDistance) ++retries;
    if (damaged && k == 1) {
      st.store(v);
      mpz_add_ui(v, v, 1);
      st.load(v);
    }
    if (c.marks[next].first == k) {
      st.store(v);
      if (low64(v) != c.marks[next].second) return {path_result::mismatch, k, c.p, 0, {}, retries};
      ++next;
    }
  }
  return {path_result::ok, 0, c.p, 0, {}, retries};
}

// A path of the fast engine: a kernel table of the two-pass iteration, or
// (table null) the one-transform squarer.
struct path {
  std::string name;
  const fast_kernels::table* kernels = nullptr;
};

// The paths this processor has at length n for p.
std::vector<path> paths_for(int32_t p, int64_t n) {
  std::vector<const fast_kernels::table*> tables = usable_kernels();
  tables.push_back(&fftw_kernels());
  std::vector<path> v;
  if (two_pass_serves(p, n))
    for (const fast_kernels::table* t : tables) v.push_back({t->name, t});
  if (n < kOneTransformBelow) v.push_back({"one-transform", nullptr});
  return v;
}

// The stepper of path at length n for p, on one thread.
std::unique_ptr<stepper> make_path_stepper(const path& at, int32_t p, int64_t n) {
  if (at.kernels == nullptr) return std::make_unique<fast_squarer>(p, n);
  auto st = std::make_unique<two_pass_squarer>(p, n, 1, at.kernels);
  st->fix_members(1);
  return st;
}

// The chains of the data to run: at the lengths asked, else every length
// (full) or the quick sample; false with a message for a length the data lacks.
bool chains_to_run(const std::vector<chain>& all, const cli_options& opt, std::vector<chain>* out, std::string* why) {
  std::set<int64_t> have;
  for (const chain& c : all) have.insert(c.n);
  std::set<int64_t> take;
  if (!opt.self_test_lengths.empty()) {
    for (int64_t n : opt.self_test_lengths) {
      if (have.count(n) == 0) {
        *why = "the self-test has no expected residues at length " + std::to_string(n) +
               (have.empty() ? std::string()
                             : " (it holds lengths " + std::to_string(*have.begin()) + " to " +
                                   std::to_string(*have.rbegin()) + ")");
        return false;
      }
      take.insert(n);
    }
  } else if (opt.self_test_full) {
    take = have;
  } else {
    int64_t octave = 0;  // the last octave sampled above kQuickEvery
    for (int64_t n : have) {
      if (n <= kQuickEvery) {
        take.insert(n);
      } else if (n <= kQuickUpTo) {
        int64_t top = 1;
        while (top * 2 <= n) top *= 2;
        if (top != octave) take.insert(n);
        octave = top;
      }
    }
  }
  for (const chain& c : all)
    if (take.count(c.n) > 0) out->push_back(c);
  std::stable_sort(out->begin(), out->end(), [](const chain& a, const chain& b) { return a.n < b.n; });
  return true;
}

// The length where MERSENNE_SELF_TEST_BREAK asks the kernels' output to be damaged; 0: none.
int64_t break_length(FILE* err) {
  const char* env = std::getenv("MERSENNE_SELF_TEST_BREAK");
  if (env == nullptr || *env == '\0') return 0;
  int64_t n = 0;
  const std::string_view s = env;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), n);
  if (ec == std::errc() && end == s.data() + s.size() && n > 0) return n;
  std::fprintf(err, "mersenne: MERSENNE_SELF_TEST_BREAK=%s is no length; nothing is damaged\n", env);
  return 0;
}

// The line (text or JSON) of one length and path.
std::string result_line(int64_t n, const std::string& name, const path_result& r, bool json) {
  if (json) {
    nlohmann::ordered_json j;
    j["fft_length"] = n;
    j["path"] = name;
    static const char* const words[] = {"ok", "mismatch", "rounding", "not run"};
    j["result"] = words[r.what];
    if (r.what == path_result::mismatch || r.what == path_result::rounding) {
      j["iteration"] = r.iteration;
      j["exponent"] = r.p;
    }
    if (r.what == path_result::rounding) j["roundoff"] = r.distance;
    if (r.what == path_result::not_run) j["error"] = r.error;
    return j.dump() + "\n";
  }
  std::string line = std::to_string(n) + " " + name + " ";
  const std::string of = " (p = " + std::to_string(r.p) + ")";
  switch (r.what) {
    case path_result::ok:
      return line + "ok\n";
    case path_result::mismatch:
      return line + "MISMATCH at iteration " + std::to_string(r.iteration) + of + "\n";
    case path_result::rounding:
      return line + "ROUNDING at iteration " + std::to_string(r.iteration) + of + "\n";
    case path_result::not_run:
      return line + "NOT RUN: " + r.error + "\n";
  }
  return line + "\n";
}

}  // namespace

cli_outcome run_self_test(const cli_options& opt, int out_fd, FILE* err, bool show_progress) {
  std::vector<chain> all, chains;
  std::string why;
  if (!parse_chains(self_test_residues(), &all, &why)) {
    std::fprintf(err, "mersenne: %s; the program is damaged\n", why.c_str());
    return {batch_status::no_verdict, 0};
  }
  if (!chains_to_run(all, opt, &chains, &why)) {
    std::fprintf(err, "mersenne: %s\n", why.c_str());
    return {batch_status::usage, 0};
  }
  const int64_t broken = break_length(err);
  const uint64_t memory = usable_memory_bytes();
  line_output out(out_fd);
  status_line status(err, show_progress);
  int64_t passed = 0, total = 0, retry_steps = 0;
  std::vector<int64_t> failed;  // the lengths with a path that did not pass
  const auto report = [&](int64_t n, const std::string& name, const path_result& r) {
    status.clear();
    ++total;
    if (r.what == path_result::ok)
      ++passed;
    else if (failed.empty() || failed.back() != n)
      failed.push_back(n);
    out.write(result_line(n, name, r, opt.json));
  };
  for (size_t first = 0; first < chains.size() && !out.failed();) {
    const int64_t n = chains[first].n;
    size_t end = first;
    while (end < chains.size() && chains[end].n == n) ++end;
    // A chain whose p this length no longer serves is from another length table.
    std::vector<const chain*> here;
    for (size_t i = first; i < end; ++i) {
      const chain& c = chains[i];
      if (c.p > fast_max_exponent(n) || c.p < n)
        report(n, "-", {path_result::not_run, 0, c.p, 0,
                        "p = " + std::to_string(c.p) + " is not served by this length (the expected residues are "
                        "stale: regenerate them with bench/make_self_test_data)"});
      else
        here.push_back(&c);
    }
    // The paths in order, each with the chains it serves.
    std::vector<std::pair<path, std::vector<const chain*>>> runs;
    for (const chain* c : here)
      for (const path& at : paths_for(c->p, n)) {
        auto it = std::find_if(runs.begin(), runs.end(), [&](const auto& r) { return r.first.name == at.name; });
        if (it == runs.end()) it = runs.insert(runs.end(), {at, {}});
        it->second.push_back(c);
      }
    uint64_t need = 0;
    for (const chain* c : here) need = std::max(need, fast_memory_bytes(c->p, n));
    for (const auto& [at, served] : runs) {
      if (out.failed()) break;
      path_result r;
      if (memory != 0 && need > memory) {
        r = {path_result::not_run, 0, served.front()->p, 0,
             "needs about " + format_bytes(need) + ", the process can have " + format_bytes(memory)};
        report(n, at.name, r);
        continue;
      }
      for (const chain* c : served) {
        status.show("self-test: length " + std::to_string(n) + ", " + at.name + ", p = " + std::to_string(c->p));
        try {
          const std::unique_ptr<stepper> st = make_path_stepper(at, c->p, n);
          r = run_chain(*st, *c, n == broken);
        } catch (const std::bad_alloc&) {
          r = {path_result::not_run, 0, c->p, 0, "out of memory for the transform arrays"};
        } catch (const std::exception& x) {
          r = {path_result::not_run, 0, c->p, 0, x.what()};
        }
        retry_steps += r.retries;
        if (r.what != path_result::ok) break;
      }
      report(n, at.name, r);
    }
    first = end;
  }
  status.clear();
  if (!out.failed()) {
    const char* mode = !opt.self_test_lengths.empty() ? "lengths" : opt.self_test_full ? "full" : "quick";
    if (opt.json) {
      nlohmann::ordered_json j;
      j["self_test"] = mode;
      j["passed"] = passed;
      j["total"] = total;
      j["failed_lengths"] = failed;
      j["retry_steps"] = retry_steps;
      out.write(j.dump() + "\n");
    } else if (total == 0) {
      out.write("self-test: nothing to run\n");
    } else if (passed == total) {
      const std::string retried = retry_steps == 0 ? ""
                                  : " (" + std::to_string(retry_steps) +
                                        " steps at rounding distance 0.4 or more, still exact: a test redoes those "
                                        "at a longer length)";
      out.write("self-test: " + std::to_string(passed) + " of " + std::to_string(total) + " passed" + retried + "\n");
    } else {
      std::string lengths;
      for (int64_t n : failed) lengths += (lengths.empty() ? "" : ", ") + std::to_string(n);
      out.write("self-test: FAILED " + std::to_string(total - passed) + " of " + std::to_string(total) +
                (failed.size() == 1 ? " (length " : " (lengths ") + lengths + ")\n");
    }
  }
  if (out.failed()) {
    std::fprintf(err, "mersenne: cannot write the results (%s); stopped\n", out.error().c_str());
    return {batch_status::output_failed, 0};
  }
  return {total > 0 && passed == total ? batch_status::ok : batch_status::no_verdict, 0};
}
