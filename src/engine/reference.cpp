#include "engine/reference.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "digits/str_2y16.h"
#include "transform/transform.h"

bool reference_applicable(int32_t p) { return p >= 3; }

uint64_t low64_of_digits(const uint32_t* u2, int32_t len) {
  uint64_t v = 0;
  for (int32_t k = 0; k < 4 && k < len; ++k) v |= static_cast<uint64_t>(u2[k] & 0xFFFFu) << (16 * k);
  return v;
}

bool digits_are_all_ones(const uint32_t* u2, int32_t len, int32_t p) {
  if (p < 1) return false;
  const int32_t full = p / 16, rest = p % 16;
  const int32_t need = full + (rest > 0 ? 1 : 0);
  for (int32_t k = need; k < len; ++k)
    if (u2[k] != 0) return false;
  if (len < need) return false;
  for (int32_t k = 0; k < full; ++k)
    if (u2[k] != 0xFFFFu) return false;
  return rest == 0 || u2[full] == (1u << rest) - 1;
}

namespace {

// What the step hook needs: the progress callback and the transform lengths.
struct step_watch {
  const engine_options* opt;
  const ll_run* run;
  int32_t next_n;  // length the coming step will use
  int32_t last_n;  // length the step just done used
};

void on_step(void* ctx, int32_t done, int32_t total) {
  auto* w = static_cast<step_watch*>(ctx);
  w->last_n = w->next_n;
  w->next_n = get_n(w->run->len);
  if (w->opt->progress) w->opt->progress(done, total);
}

}  // namespace

ll_outcome reference_lucas_lehmer(int32_t p, const engine_options& opt) {
  return reference_lucas_lehmer_with(p, opt, std::calloc);
}

ll_outcome reference_lucas_lehmer_with(int32_t p, const engine_options& opt, alloc_fn alloc) {
  ll_outcome out;
  if (!reference_applicable(p)) {
    out.error = "the reference engine needs an exponent of at least 3";
    return out;
  }
  ll_arrays a;
  if (!allocate_arrays(size_unit(p), alloc, /*report=*/false, &a)) {
    free_arrays(&a);
    out.error = "not enough memory for the working arrays of p = " + std::to_string(p);
    return out;
  }

  ll_run run;
  ll_start(a, &run);
  step_watch watch{&opt, &run, get_n(run.len), 0};
  ll_loop_options loop;
  loop.trace = false;
  loop.stop_at_bound = true;
  loop.on_step = on_step;
  loop.ctx = &watch;
  const bool completed = ll_iterate(a, p, &run, loop);

  out.fft_length = watch.last_n;
  out.max_roundoff = run.max_distance;
  if (!completed || !(run.max_distance < kMaxRoundoff)) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "rounding distance %.4f in iteration %d reached the bound %.1f; no verdict",
                  run.max_distance, run.max_step, kMaxRoundoff);
    out.note = text;
    free_arrays(&a);
    return out;
  }
  const bool zero = ll_residue_is_zero(a, &run) || digits_are_all_ones(a.u2, run.len, p);
  out.verdict = true;
  out.prime = zero;
  out.res64 = zero ? 0 : low64_of_digits(a.u2, run.len);
  free_arrays(&a);
  return out;
}
