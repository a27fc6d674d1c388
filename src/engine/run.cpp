#include "engine/run.h"

#include <cstdio>
#include <new>
#include <string>

#include "base/check.h"
#include "base/machine.h"
#include "engine/pacer.h"
#include "engine/residue.h"
#include "engine/tuning.h"

namespace {

// e's stepper for p at length n, refused up front when it needs more memory
// than the process can have (some libraries abort instead of failing).
std::unique_ptr<stepper> make_stepper(const engine& e, int32_t p, int64_t n, const engine_options& opt) {
  if (e.memory_bytes != nullptr) {
    const uint64_t need = e.memory_bytes(p, n), have = usable_memory_bytes();
    if (have != 0 && need > have)
      throw engine_failure("the " + std::string(e.name) + " engine needs about " + format_bytes(need) +
                           " of memory for p = " + std::to_string(p) + ", more than the " + format_bytes(have) +
                           " this process can have");
  }
  return e.make(p, n, opt);
}

bool stop_asked(const engine_options& opt) { return opt.stop != nullptr && opt.stop->load(std::memory_order_relaxed); }

void iterate(const engine& e, int32_t p, const engine_options& opt, ll_outcome& out) {
  int64_t n = 0;
  if (e.start_length != nullptr) {
    n = e.start_length(p, opt.start_length);
    if (n == 0) {
      out.note = "no transform length for this exponent";
      return;
    }
  }
  std::unique_ptr<stepper> st = make_stepper(e, p, n, opt);
  mpz_value s;
  mpz_set_ui(s, 4);
  st->load(s);

  const int64_t total = p - 2;
  progress_pacer pacer(opt.progress, total);
  int retries = 0;
  std::string raised;
  int64_t used = 0;  // length of the last step done
  for (int64_t i = 0; i < total; ++i) {
    used = st->length();
    double err = st->square(2, 0, tuning::kRetryDistance);
    while (!(err < tuning::kRetryDistance)) {
      const int64_t longer = e.next_length != nullptr ? e.next_length(p, used) : 0;
      if (longer == 0) {
        // The comparison is written so that a NaN distance counts as the largest.
        if (!(err <= out.max_roundoff)) out.max_roundoff = err;
        out.fft_length = used;
        char text[160];
        std::snprintf(text, sizeof text, "rounding distance %.4f in iteration %lld reached the bound %.1f; no verdict",
                      err, static_cast<long long>(i), tuning::kRetryDistance);
        out.note = text;
        return;
      }
      // Redo this iteration from the untouched residue at the longer length.
      st->store(s);
      st.reset();
      st = make_stepper(e, p, longer, opt);
      st->load(s);
      if (!raised.empty()) raised += "; ";
      raised += "length raised from " + std::to_string(used) + " to " + std::to_string(longer) + " at iteration " +
                std::to_string(i + 1);
      ++retries;
      used = st->length();
      err = st->square(2, 0, tuning::kRetryDistance);
    }
    if (err > out.max_roundoff) out.max_roundoff = err;
    pacer.tick(i + 1);
    if (stop_asked(opt)) {
      out.error = "stopped after iteration " + std::to_string(i + 1);
      out.fft_length = used;
      return;
    }
  }
  pacer.finish();
  st->store(s);
  out.verdict = true;
  out.prime = mpz_sgn(s.get()) == 0;
  out.res64 = low64(s);
  out.fft_length = used;
  if (retries > 0) out.note = raised + " (" + std::to_string(retries) + (retries == 1 ? " retry)" : " retries)");
}

}  // namespace

ll_outcome run_lucas_lehmer(const engine& e, int32_t p, const engine_options& opt) {
  MERSENNE_REQUIRE(p >= 3 && e.applicable(p));
  ll_outcome out;
  try {
    iterate(e, p, opt, out);
  } catch (const engine_failure& x) {
    out = ll_outcome{};
    out.error = x.what();
  } catch (const std::bad_alloc&) {
    out = ll_outcome{};
    out.error = "not enough memory for p = " + std::to_string(p);
  }
  return out;
}
