#include "console/lucas_lehmer.h"

#include <cstdio>
#include <cstdlib>

#include "base/check.h"
#include "console/str_2y16.h"

int32_t size_unit(int32_t p) {
  const int32_t L = 8 * (p / 16) + 8;
  return L < 8 ? 8 : L;
}

void array_table(int32_t L, array_slot out[kArrayCount]) {
  const int64_t l = L;
  const int64_t w = sizeof(uint32_t), d = sizeof(double);
  const array_slot t[kArrayCount] = {
      {"buffer", 4 * l, w},    {"u2", 4 * l, w},        {"u1", l, 3},
      {"wr", 2 * l, d},        {"wi", 2 * l, d},        {"dft_r1", 4 * l, d},
      {"dft_i1", 4 * l, d},    {"res_dft_r", 4 * l, d}, {"res_dft_i", 4 * l, d},
      {"inf_dft_r", 4 * l, d}, {"inf_dft_i", 4 * l, d}, {"res_polynom", 4 * l, d},
  };
  for (int i = 0; i < kArrayCount; ++i) out[i] = t[i];
}

bool allocate_arrays(int32_t L, alloc_fn alloc, bool report, ll_arrays* a) {
  array_slot table[kArrayCount];
  array_table(L, table);
  void* got[kArrayCount];
  bool ok = true;
  for (int i = 0; i < kArrayCount; ++i) {
    got[i] = alloc(static_cast<size_t>(table[i].count), static_cast<size_t>(table[i].size));
    if (got[i] == nullptr) ok = false;
    if (!report) continue;
    if (got[i] != nullptr)
      printf("%s Speicher alloziert\n", table[i].name);
    else
      printf("Fehler beim Speicherallozieren, %s\n", table[i].name);
  }
  a->buffer = static_cast<uint32_t*>(got[0]);
  a->u2 = static_cast<uint32_t*>(got[1]);
  a->u1 = static_cast<uint32_t*>(got[2]);
  a->wr = static_cast<double*>(got[3]);
  a->wi = static_cast<double*>(got[4]);
  a->dft_r1 = static_cast<double*>(got[5]);
  a->dft_i1 = static_cast<double*>(got[6]);
  a->res_dft_r = static_cast<double*>(got[7]);
  a->res_dft_i = static_cast<double*>(got[8]);
  a->inf_dft_r = static_cast<double*>(got[9]);
  a->inf_dft_i = static_cast<double*>(got[10]);
  a->res_polynom = static_cast<double*>(got[11]);
  return ok;
}

void free_arrays(ll_arrays* a) {
  free(a->buffer);
  free(a->u2);
  free(a->u1);
  free(a->wr);
  free(a->wi);
  free(a->dft_r1);
  free(a->dft_i1);
  free(a->res_dft_r);
  free(a->res_dft_i);
  free(a->inf_dft_r);
  free(a->inf_dft_i);
  free(a->res_polynom);
  *a = ll_arrays{};
}

void ll_start(const ll_arrays& a, ll_run* run) {
  *run = ll_run{};
  a.u2[0] = 4;
}

double ll_square(const ll_arrays& a, ll_run* run, bool trace, inverse_path path) {
  MERSENNE_REQUIRE(run->len >= 1);
  if (trace) printf("start get_n()\n");
  const int32_t n = get_n(run->len);
  if (trace) printf("start get_einheitswurzel()\n");
  get_einheitswurzel(n, a.wr, a.wi);
  if (trace) printf("start get_fast_dft_vektor()\n");
  get_fast_dft_vektor(n, a.buffer, a.u2, run->len, a.wr, a.wi, a.dft_r1, a.dft_i1);
  if (trace) printf("start mul_dft()\n");
  mul_dft(n, a.dft_r1, a.dft_i1, a.dft_r1, a.dft_i1, a.res_dft_r, a.res_dft_i);
  if (trace) printf("start inverse_dft_vektor()\n");
  inverse_dft_vektor_on(path, n, a.wr, a.wi, a.res_dft_r, a.res_dft_i, a.inf_dft_r, a.inf_dft_i, a.res_polynom);
  const double distance = max_rounding_distance(a.res_polynom, n);
  if (trace) printf("start decode_polynom_2y16()\n");
  decode_polynom_2y16(a.res_polynom, n, a.u2, &run->len);
  return distance;
}

double ll_step(const ll_arrays& a, int32_t p, ll_run* run, bool trace, inverse_path path) {
  const double distance = ll_square(a, run, trace, path);
  if (trace) printf("start str_minus_zwei()\n");
  str_minus_zwei(a.u2, &run->len);
  if (trace) printf("start fast_modulo_2y16()\n");
  fast_modulo_2y16(a.u1, a.u2, &run->hi_len, &run->len, p);
  return distance;
}

void ll_iterate(const ll_arrays& a, int32_t p, ll_run* run, const ll_loop_options& opt) {
  const int32_t total = p > 2 ? p - 2 : 0;
  for (; run->steps_done < total; ) {
    const int32_t i = run->steps_done;
    if (opt.trace) printf("Schritt %d:\n", i);
    const double distance = ll_step(a, p, run, opt.trace, opt.path);
    if (opt.trace) printf("\n");
    // The comparison is written so that a NaN distance counts as a crossing.
    if (!(distance <= run->max_distance)) {
      run->max_distance = distance;
      run->max_step = i;
    }
    run->steps_done = i + 1;
    // Nobody reads the trace any more (disk full, reader gone): stop computing it.
    if (opt.trace && std::ferror(stdout)) return;
  }
}

bool ll_residue_is_zero(const ll_arrays& a, ll_run* run) {
  for (int32_t k = run->len - 1; k >= 1 && a.u2[k] == 0; --k) --run->len;
  return run->len == 1 && a.u2[0] == 0;
}
