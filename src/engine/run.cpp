#include "engine/run.h"

#include <cstdio>
#include <new>
#include <string>

#include "base/check.h"
#include "engine/pacer.h"
#include "engine/residue.h"
#include "engine/tuning.h"

namespace {

void iterate(const engine& e, int32_t p, const engine_options& opt, ll_outcome& out) {
  int64_t n = 0;
  if (e.start_length != nullptr) {
    n = e.start_length(p, opt.start_length);
    if (n == 0) {
      out.note = "no transform length for this exponent";
      return;
    }
  }
  std::unique_ptr<stepper> st = e.make(p, n, opt);
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
      st = e.make(p, longer, opt);
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
