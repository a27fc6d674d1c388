// The kernels of kernels.h, written once over eight-lane vectors and
// compiled once per instruction set: the including file names the set's
// namespace (KERNEL_NS) and its table (KERNEL_TABLE, KERNEL_NAME) and
// compiles with that set's flags. Nothing here may be shared between the
// copies (no standard-library templates): each copy is reached only after a
// run-time check of the processor.
#include <immintrin.h>

#include <cstdint>

#include "arith/fast/kernels.h"
#include "base/tuning.h"

namespace fast_kernels {
namespace KERNEL_NS {
namespace {

// The processor's own vector: the transforms down the lanes run on it, a
// group's eight lanes in 8 / kW pieces, so that a radix-8 step fits the
// registers on every instruction set.
#if defined(__AVX512F__)
constexpr int kW = 8;
#elif defined(__AVX2__)
constexpr int kW = 4;
#else
constexpr int kW = 2;
#endif
typedef double vn __attribute__((vector_size(8 * kW)));

template <class V>
inline V splat_as(double d);
// A broadcast, not {} + d: without fast-math that addition is a real one
// (0 + -0 is +0), and it stood before every twiddle's broadcast.
template <>
inline vn splat_as<vn>(double d) {
#if defined(__AVX512F__)
  return reinterpret_cast<vn>(_mm512_set1_pd(d));
#elif defined(__AVX2__)
  return reinterpret_cast<vn>(_mm256_set1_pd(d));
#else
  return reinterpret_cast<vn>(_mm_set1_pd(d));
#endif
}

// Eight lanes: with AVX-512 one register; narrower, 8 / kW of the
// processor's own vectors, each operation made piece by piece, so that the
// compiler keeps them in registers instead of splitting a vector wider than
// the machine's through memory.
#if defined(__AVX512F__)
typedef vn v8;
inline vn& part(v8& v, int) { return v; }
inline vn part(const v8& v, int) { return v; }
inline v8 load(const double* p) { return *reinterpret_cast<const v8*>(p); }
inline void store(double* p, v8 v) { *reinterpret_cast<v8*>(p) = v; }
#else
// Named pieces, not an array, so that the compiler's scalar replacement
// keeps each in a register of its own.
struct v8 {
  vn a, b;
#if !defined(__AVX2__)
  vn c, d;
#endif
};
inline vn& part(v8& v, int c) {
#if defined(__AVX2__)
  return c == 0 ? v.a : v.b;
#else
  return c == 0 ? v.a : c == 1 ? v.b : c == 2 ? v.c : v.d;
#endif
}
inline vn part(const v8& v, int c) { return part(const_cast<v8&>(v), c); }
// f applied piece by piece.
template <class F>
inline v8 each(v8 x, v8 y, F f) {
#if defined(__AVX2__)
  return v8{f(x.a, y.a), f(x.b, y.b)};
#else
  return v8{f(x.a, y.a), f(x.b, y.b), f(x.c, y.c), f(x.d, y.d)};
#endif
}
inline v8 load(const double* p) {
  const vn* q = reinterpret_cast<const vn*>(p);
#if defined(__AVX2__)
  return v8{q[0], q[1]};
#else
  return v8{q[0], q[1], q[2], q[3]};
#endif
}
inline void store(double* p, v8 v) {
  vn* q = reinterpret_cast<vn*>(p);
  q[0] = v.a;
  q[1] = v.b;
#if !defined(__AVX2__)
  q[2] = v.c;
  q[3] = v.d;
#endif
}
template <>
inline v8 splat_as<v8>(double d) {
  const vn x = splat_as<vn>(d);
#if defined(__AVX2__)
  return v8{x, x};
#else
  return v8{x, x, x, x};
#endif
}
inline v8 operator+(v8 x, v8 y) { return each(x, y, [](vn u, vn v) { return u + v; }); }
inline v8 operator-(v8 x, v8 y) { return each(x, y, [](vn u, vn v) { return u - v; }); }
inline v8 operator*(v8 x, v8 y) { return each(x, y, [](vn u, vn v) { return u * v; }); }
inline v8 operator-(v8 x) { return each(x, x, [](vn u, vn) { return -u; }); }
#endif
inline v8 splat(double d) { return splat_as<v8>(d); }

// a b + c, fused where the processor can.
inline vn fmadd(vn a, vn b, vn c) {
#if defined(__AVX512F__)
  return reinterpret_cast<vn>(_mm512_fmadd_pd(reinterpret_cast<__m512d>(a), reinterpret_cast<__m512d>(b),
                                              reinterpret_cast<__m512d>(c)));
#elif defined(__FMA__)
  return reinterpret_cast<vn>(_mm256_fmadd_pd(reinterpret_cast<__m256d>(a), reinterpret_cast<__m256d>(b),
                                              reinterpret_cast<__m256d>(c)));
#else
  return a * b + c;
#endif
}
#if !defined(__AVX512F__)
inline v8 fmadd(v8 a, v8 b, v8 c) {
#if defined(__AVX2__)
  return v8{fmadd(a.a, b.a, c.a), fmadd(a.b, b.b, c.b)};
#else
  return v8{fmadd(a.a, b.a, c.a), fmadd(a.b, b.b, c.b), fmadd(a.c, b.c, c.c), fmadd(a.d, b.d, c.d)};
#endif
}
#endif
template <class V>
inline V fmsub(V a, V b, V c) {
  return fmadd(a, b, -c);
}

// Lanes of complex values.
template <class V>
struct cx {
  V re, im;
};
using cv = cx<v8>;
using cn = cx<vn>;
inline cv cload(const double* p) { return cv{load(p), load(p + 8)}; }
inline void cstore(double* p, cv z) {
  store(p, z.re);
  store(p + 8, z.im);
}
// kW lanes of a group: real parts at p, imaginary parts 8 further.
inline cn nload(const double* p) { return cn{*reinterpret_cast<const vn*>(p), *reinterpret_cast<const vn*>(p + 8)}; }
inline void nstore(double* p, cn z) {
  *reinterpret_cast<vn*>(p) = z.re;
  *reinterpret_cast<vn*>(p + 8) = z.im;
}
inline vn vat(const double* p) { return *reinterpret_cast<const vn*>(p); }

template <class V>
inline cx<V> operator+(cx<V> a, cx<V> b) {
  return cx<V>{a.re + b.re, a.im + b.im};
}
template <class V>
inline cx<V> operator-(cx<V> a, cx<V> b) {
  return cx<V>{a.re - b.re, a.im - b.im};
}
template <class V>
inline cx<V> mul(cx<V> a, cx<V> b) {
  return cx<V>{fmsub(a.re, b.re, a.im * b.im), fmadd(a.re, b.im, a.im * b.re)};
}
template <class V>
inline cx<V> mul_conj(cx<V> a, cx<V> b) {
  return cx<V>{fmadd(a.re, b.re, a.im * b.im), fmsub(a.im, b.re, a.re * b.im)};
}
template <class V>
inline cx<V> times_i(cx<V> a) {
  return cx<V>{-a.im, a.re};
}
template <class V>
inline cx<V> times_minus_i(cx<V> a) {
  return cx<V>{a.im, -a.re};
}
template <class V>
inline cx<V> conj(cx<V> a) {
  return cx<V>{a.re, -a.im};
}
inline cv scale(cv a, v8 s) { return cv{a.re * s, a.im * s}; }
template <class V = v8>
inline cx<V> broadcast(const double* w) {
  return cx<V>{splat_as<V>(w[0]), splat_as<V>(w[1])};
}

// Small DFTs over x[0..R), in place, natural order out; Back: the conjugate roots.
template <bool Back, class V>
inline cx<V> rot_quarter(cx<V> a) {  // a times exp(-+ 2 pi i / 4)
  return Back ? times_i(a) : times_minus_i(a);
}

template <bool Back, class V>
inline void dft2(cx<V>* x) {
  const cx<V> a = x[0], b = x[1];
  x[0] = a + b;
  x[1] = a - b;
}

template <bool Back, class V>
inline void dft4(cx<V>& x0, cx<V>& x1, cx<V>& x2, cx<V>& x3) {
  const cx<V> a = x0 + x2, b = x0 - x2, c = x1 + x3, d = rot_quarter<Back>(x1 - x3);
  x0 = a + c;
  x2 = a - c;
  x1 = b + d;
  x3 = b - d;
}

template <bool Back, class V>
inline void dft8(cx<V>* x) {
  cx<V> e0 = x[0], e1 = x[2], e2 = x[4], e3 = x[6];
  cx<V> o0 = x[1], o1 = x[3], o2 = x[5], o3 = x[7];
  dft4<Back, V>(e0, e1, e2, e3);
  dft4<Back, V>(o0, o1, o2, o3);
  const V s = splat_as<V>(0.70710678118654752440084436210484903928);
  // o_1 and o_3 times exp(-+ 2 pi i k / 8) = (1 -+ i) s or (-1 -+ i) s, the factor s taken in the sums' FMAs.
  const cx<V> t1 = Back ? cx<V>{o1.re - o1.im, o1.re + o1.im} : cx<V>{o1.re + o1.im, o1.im - o1.re};
  const cx<V> w2 = rot_quarter<Back>(o2);
  const cx<V> t3 = Back ? cx<V>{-o3.re - o3.im, o3.re - o3.im} : cx<V>{o3.im - o3.re, -o3.re - o3.im};
  x[0] = e0 + o0;
  x[4] = e0 - o0;
  x[1] = cx<V>{fmadd(t1.re, s, e1.re), fmadd(t1.im, s, e1.im)};
  x[5] = cx<V>{fmadd(-t1.re, s, e1.re), fmadd(-t1.im, s, e1.im)};
  x[2] = e2 + w2;
  x[6] = e2 - w2;
  x[3] = cx<V>{fmadd(t3.re, s, e3.re), fmadd(t3.im, s, e3.im)};
  x[7] = cx<V>{fmadd(-t3.re, s, e3.re), fmadd(-t3.im, s, e3.im)};
}

// Odd R: pairs u, R - u share a cosine sum and a sine sum. c[k], s[k]:
// cos and sin of 2 pi k / R; the pair (u, t) takes k = u t mod R.
template <int R>
struct odd_roots;
template <>
struct odd_roots<3> {
  static constexpr double c[3] = {1.0, -5.0e-1, -5.0e-1};
  static constexpr double s[3] = {0.0, 8.6602540378443864676372317075293618347e-1,
      -8.6602540378443864676372317075293618347e-1};
};
template <>
struct odd_roots<5> {
  static constexpr double c[5] = {1.0, 3.0901699437494742410229341718281905886e-1,
      -8.0901699437494742410229341718281905886e-1, -8.0901699437494742410229341718281905886e-1,
      3.0901699437494742410229341718281905886e-1};
  static constexpr double s[5] = {0.0, 9.5105651629515357211643933337938214341e-1,
      5.877852522924731291687059546390727686e-1, -5.877852522924731291687059546390727686e-1,
      -9.5105651629515357211643933337938214341e-1};
};
template <>
struct odd_roots<7> {
  static constexpr double c[7] = {1.0, 6.2348980185873353052500488400423981063e-1,
      -2.2252093395631440428890256449679475947e-1, -9.0096886790241912623610231950744505117e-1,
      -9.0096886790241912623610231950744505117e-1, -2.2252093395631440428890256449679475947e-1,
      6.2348980185873353052500488400423981063e-1};
  static constexpr double s[7] = {0.0, 7.8183148246802980870844452667405775023e-1,
      9.7492791218182360701813168299393121723e-1, 4.3388373911755812047576833284835875461e-1,
      -4.3388373911755812047576833284835875461e-1, -9.7492791218182360701813168299393121723e-1,
      -7.8183148246802980870844452667405775023e-1};
};
template <>
struct odd_roots<11> {
  static constexpr double c[11] = {1.0, 8.4125353283118116886181164891936771751e-1,
      4.1541501300188642552927414922962320352e-1, -1.4231483827328514044379266861636966879e-1,
      -6.5486073394528506405692507246629355318e-1, -9.5949297361449738989036805706632769906e-1,
      -9.5949297361449738989036805706632769906e-1, -6.5486073394528506405692507246629355318e-1,
      -1.4231483827328514044379266861636966879e-1, 4.1541501300188642552927414922962320352e-1,
      8.4125353283118116886181164891936771751e-1};
  static constexpr double s[11] = {0.0, 5.4064081745559758210763595431869169543e-1,
      9.0963199535451837141171538307902846006e-1, 9.8982144188093273237609203777671878738e-1,
      7.5574957435425828377403584397234442018e-1, 2.8173255684142969771141791534661689904e-1,
      -2.8173255684142969771141791534661689904e-1, -7.5574957435425828377403584397234442018e-1,
      -9.8982144188093273237609203777671878738e-1, -9.0963199535451837141171538307902846006e-1,
      -5.4064081745559758210763595431869169543e-1};
};
template <>
struct odd_roots<13> {
  static constexpr double c[13] = {1.0, 8.8545602565320989590037552201509887861e-1,
      5.6806474673115580251180755912751662453e-1, 1.2053668025532305334906768745254358227e-1,
      -3.5460488704253562596963789260001847432e-1, -7.4851074817110109863463059970135138385e-1,
      -9.7094181742605202715698227629378922725e-1, -9.7094181742605202715698227629378922725e-1,
      -7.4851074817110109863463059970135138385e-1, -3.5460488704253562596963789260001847432e-1,
      1.2053668025532305334906768745254358227e-1, 5.6806474673115580251180755912751662453e-1,
      8.8545602565320989590037552201509887861e-1};
  static constexpr double s[13] = {0.0, 4.6472317204376854565601533513310477756e-1,
      8.2298386589365639457961742343938199066e-1, 9.9270887409805399280075164949252017934e-1,
      9.3501624268541482343978459983783072905e-1, 6.6312265824079520237678549266676627952e-1,
      2.393156642875577671487537262602118952e-1, -2.393156642875577671487537262602118952e-1,
      -6.6312265824079520237678549266676627952e-1, -9.3501624268541482343978459983783072905e-1,
      -9.9270887409805399280075164949252017934e-1, -8.2298386589365639457961742343938199066e-1,
      -4.6472317204376854565601533513310477756e-1};
};

template <int R, bool Back, class V>
inline void dft_odd(cx<V>* x) {
  constexpr int H = (R - 1) / 2;
  cx<V> sum[H], dif[H];
  cx<V> y0 = x[0];
  for (int u = 1; u <= H; ++u) {
    sum[u - 1] = x[u] + x[R - u];
    dif[u - 1] = x[u] - x[R - u];
    y0 = y0 + sum[u - 1];
  }
  cx<V> out[R];
  out[0] = y0;
  for (int t = 1; t <= H; ++t) {
    cx<V> a = x[0], b{splat_as<V>(0), splat_as<V>(0)};
    for (int u = 1; u <= H; ++u) {
      const V c = splat_as<V>(odd_roots<R>::c[u * t % R]), s = splat_as<V>(odd_roots<R>::s[u * t % R]);
      a = cx<V>{fmadd(sum[u - 1].re, c, a.re), fmadd(sum[u - 1].im, c, a.im)};
      b = cx<V>{fmadd(dif[u - 1].re, s, b.re), fmadd(dif[u - 1].im, s, b.im)};
    }
    // x_u w^ut + x_(R-u) w^-ut = sum cos -+ i dif sin
    const cx<V> ib = Back ? times_i(b) : times_minus_i(b);
    out[t] = a + ib;
    out[R - t] = a - ib;
  }
  for (int t = 0; t < R; ++t) x[t] = out[t];
}

template <int R, bool Back, class V>
inline void dft(cx<V>* x) {
  if constexpr (R == 2) {
    dft2<Back, V>(x);
  } else if constexpr (R == 4) {
    dft4<Back, V>(x[0], x[1], x[2], x[3]);
  } else if constexpr (R == 8) {
    dft8<Back, V>(x);
  } else {
    dft_odd<R, Back, V>(x);
  }
}

// One pass of radix R over data (length L, spans of M = R q): forward
// (butterfly, then twiddles) or back (conjugate twiddles, then butterfly).
// With Edge, the row's own twiddles (group b's at edge + 16 b, the data's
// layout) are taken in the same pass: forward, each value is read from src
// and multiplied by its twiddle first; back, each result is multiplied by
// the conjugate before it is stored. Without, src is data.
template <int R, bool Back, bool Edge>
void pass(const double* src, double* data, int64_t L, int64_t q, const double* tw, const double* edge) {
  const int64_t M = R * q;
  for (int64_t s = 0; s < L; s += M) {
    for (int64_t j = 0; j < q; ++j) {
      const double* w = tw + 2 * j * (R - 1);
      for (int piece = 0; piece < 8; piece += kW) {
        const int64_t off = 16 * (s + j) + piece;
        double* at = data + off;
        cn x[R];
        for (int u = 0; u < R; ++u) {
          if (Edge && !Back)
            x[u] = mul(nload(src + off + 16 * u * q), nload(edge + off + 16 * u * q));
          else
            x[u] = nload(at + 16 * u * q);
        }
        if (Back) {
          if (j != 0)
            for (int t = 1; t < R; ++t) x[t] = mul_conj(x[t], broadcast<vn>(w + 2 * (t - 1)));
          dft<R, true, vn>(x);
        } else {
          dft<R, false, vn>(x);
          if (j != 0)
            for (int t = 1; t < R; ++t) x[t] = mul(x[t], broadcast<vn>(w + 2 * (t - 1)));
        }
        if (Edge && Back)
          for (int u = 0; u < R; ++u) x[u] = mul_conj(x[u], nload(edge + off + 16 * u * q));
        for (int u = 0; u < R; ++u) nstore(at + 16 * u * q, x[u]);
      }
    }
  }
}

template <bool Back, bool Edge>
void run_pass_as(int radix, const double* src, double* data, int64_t L, int64_t q, const double* tw,
                 const double* edge) {
  switch (radix) {
    case 2: pass<2, Back, Edge>(src, data, L, q, tw, edge); break;
    case 3: pass<3, Back, Edge>(src, data, L, q, tw, edge); break;
    case 4: pass<4, Back, Edge>(src, data, L, q, tw, edge); break;
    case 5: pass<5, Back, Edge>(src, data, L, q, tw, edge); break;
    case 7: pass<7, Back, Edge>(src, data, L, q, tw, edge); break;
    case 11: pass<11, Back, Edge>(src, data, L, q, tw, edge); break;
    case 13: pass<13, Back, Edge>(src, data, L, q, tw, edge); break;
    default: pass<8, Back, Edge>(src, data, L, q, tw, edge); break;
  }
}

// Pass i of f; the first pass takes the edge twiddles when there are any.
template <bool Back>
void run_pass(const fft_steps& f, int i, const double* src, double* data, int64_t L, int64_t q, const double* edge) {
  const double* tw = f.twiddles + f.twiddle_at[i];
  if (i == 0 && edge != nullptr)
    run_pass_as<Back, true>(f.radix[i], src, data, L, q, tw, edge);
  else
    run_pass_as<Back, false>(f.radix[i], data, data, L, q, tw, nullptr);
}

// Spans of at most this many complex lanes (16 doubles each) are finished
// one after the other, all their remaining passes while they sit in the
// first-level cache, instead of each pass sweeping the whole transform:
// the same butterflies in another order, so the same bits.
constexpr int64_t kCacheSpan = 128;

// Each pass's q (its span over its radix) into spans; returns the first
// pass whose span is at most a cache span.
int cache_spans(const fft_steps& f, int64_t* spans) {
  int64_t span = f.length;
  int first = f.passes;
  for (int i = 0; i < f.passes; ++i) {
    if (first == f.passes && span <= kCacheSpan) first = i;
    spans[i] = span / f.radix[i];
    span = spans[i];
  }
  return first;
}

// The forward transform of data in place (digit-reversed out). With edge,
// of src times the twiddles at edge (as pass() takes them) into data.
void forward(const fft_steps& f, double* data, const double* src = nullptr, const double* edge = nullptr) {
  int64_t span = f.length;
  int i = 0;
  for (; i < f.passes && span > kCacheSpan; ++i) {
    const int64_t q = span / f.radix[i];
    run_pass<false>(f, i, src, data, f.length, q, edge);
    span = q;
  }
  if (i == f.passes) return;
  const int first = i;
  const int64_t whole = span;
  for (int64_t at = 0; at < f.length; at += whole) {
    span = whole;
    for (i = first; i < f.passes; ++i) {
      const int64_t q = span / f.radix[i];
      run_pass<false>(f, i, src, data + 16 * at, whole, q, edge);
      span = q;
    }
  }
}

// The inverse transform of data in place (digit-reversed in), scaled by the
// length; with edge, each result times the conjugate of its twiddle there.
void backward(const fft_steps& f, double* data, const double* edge = nullptr) {
  int64_t spans[kMaxPasses];
  const int first = cache_spans(f, spans);
  if (first < f.passes) {
    const int64_t whole = first == 0 ? f.length : spans[first - 1];
    for (int64_t at = 0; at < f.length; at += whole)
      for (int i = f.passes - 1; i >= first; --i)
        run_pass<true>(f, i, nullptr, data + 16 * at, whole, spans[i], edge);
  }
  for (int i = first - 1; i >= 0; --i) run_pass<true>(f, i, nullptr, data, f.length, spans[i], edge);
}

// 8 x 8 transpose: r[i][j] -> r[j][i].
#if defined(__AVX512F__)
inline void transpose(v8* r) {
  v8 a[8], c[8];
  for (int i = 0; i < 8; i += 2) {
    a[i] = __builtin_shufflevector(r[i], r[i + 1], 0, 8, 2, 10, 4, 12, 6, 14);
    a[i + 1] = __builtin_shufflevector(r[i], r[i + 1], 1, 9, 3, 11, 5, 13, 7, 15);
  }
  // a[0]: rows 0,1 of columns 0,2,4,6; a[1]: rows 0,1 of columns 1,3,5,7; a[2], a[3]: rows 2,3; ...
  for (int i = 0; i < 8; i += 4) {
    for (int o = 0; o < 2; ++o) {
      c[i + o] = __builtin_shufflevector(a[i + o], a[i + 2 + o], 0, 1, 8, 9, 4, 5, 12, 13);
      c[i + 2 + o] = __builtin_shufflevector(a[i + o], a[i + 2 + o], 2, 3, 10, 11, 6, 7, 14, 15);
    }
  }
  // c[0]: rows 0-3 of columns 0 and 4; c[1]: of 1 and 5; c[2]: of 2 and 6; c[3]: of 3 and 7; c[4..7]: rows 4-7.
  for (int j = 0; j < 4; ++j) {
    r[j] = __builtin_shufflevector(c[j], c[4 + j], 0, 1, 2, 3, 8, 9, 10, 11);
    r[j + 4] = __builtin_shufflevector(c[j], c[4 + j], 4, 5, 6, 7, 12, 13, 14, 15);
  }
}

#else
// Narrower vectors: the matrix as blocks of kW x kW, each transposed in
// registers, so that no lane goes through memory on its own.

inline void transpose_block(vn* x) {
#if defined(__AVX2__)
  const vn t0 = __builtin_shufflevector(x[0], x[1], 0, 4, 2, 6), t1 = __builtin_shufflevector(x[0], x[1], 1, 5, 3, 7);
  const vn t2 = __builtin_shufflevector(x[2], x[3], 0, 4, 2, 6), t3 = __builtin_shufflevector(x[2], x[3], 1, 5, 3, 7);
  x[0] = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
  x[1] = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
  x[2] = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
  x[3] = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
#else
  const vn t0 = __builtin_shufflevector(x[0], x[1], 0, 2), t1 = __builtin_shufflevector(x[0], x[1], 1, 3);
  x[0] = t0;
  x[1] = t1;
#endif
}

inline void transpose(v8* r) {
  constexpr int P = 8 / kW;
  v8 out[8];
#pragma GCC unroll 4
  for (int rb = 0; rb < P; ++rb)
#pragma GCC unroll 4
    for (int cb = 0; cb < P; ++cb) {
      vn x[kW];
      for (int i = 0; i < kW; ++i) x[i] = part(r[rb * kW + i], cb);
      transpose_block(x);
      for (int i = 0; i < kW; ++i) part(out[cb * kW + i], rb) = x[i];
    }
  for (int i = 0; i < 8; ++i) r[i] = out[i];
}
#endif


// exp(-2 pi i x / n) for 0 <= x < n, from the two tables.
inline void root(const shape_view& s, int64_t x, double* out) {
  const double* hi = s.exp_hi + 2 * (x >> s.exp_shift);
  const double* lo = s.exp_lo + 2 * (x & ((int64_t{1} << s.exp_shift) - 1));
  out[0] = hi[0] * lo[0] - hi[1] * lo[1];
  out[1] = hi[0] * lo[1] + hi[1] * lo[0];
}

// One piece's eight values across the lanes (y[a]: lane a): transformed,
// squared or multiplied by factor's (kW lanes at factor, groups 16 apart)
// and transformed back. The forward mode stores the transformed values at
// `at` instead and gives false.
inline bool lanes_product(cn* y, row_mode mode, double* at, const double* factor) {
  dft8<false, vn>(y);
  if (mode == row_mode::forward) {
    for (int d = 0; d < 8; ++d) nstore(at + 16 * d, y[d]);
    return false;
  }
  if (mode == row_mode::square) {
    for (int d = 0; d < 8; ++d) y[d] = cn{fmsub(y[d].re, y[d].re, y[d].im * y[d].im), (y[d].re + y[d].re) * y[d].im};
  } else {
    for (int d = 0; d < 8; ++d) y[d] = mul(y[d], nload(factor + 16 * d));
  }
  dft8<true, vn>(y);
  return true;
}

// Lines of the next row on their way into the cache while a step works on
// this one: in for reading, out for writing, a few at a time between the
// step's stages rather than all at once (a burst of them takes every fill
// buffer, and the step's own misses wait behind them).
struct row_fetch {
  const double* in = nullptr;
  double* out = nullptr;
  // Lines [from, from + count) of 64 bytes, counted from in and out.
  void lines(int from, int count) const {
    for (int i = from; i < from + count; ++i) {
      if (in != nullptr) __builtin_prefetch(in + 8 * i, 0, 3);
      if (out != nullptr) __builtin_prefetch(out + 8 * i, 1, 3);
    }
  }
};

#if defined(__AVX512F__)
// Eight positions z (lanes a, after their lane twiddles): the transform
// across the lanes, the square or the product with factor_at's values, and
// back, leaving z in place. In the forward mode the transformed values go
// to at (eight groups, in an order of their own) instead, and z is spent.
inline void across_lanes(cv* z, row_mode mode, double* at, const double* factor_at) {
  v8 re[8], im[8];
  for (int i = 0; i < 8; ++i) {
    re[i] = z[i].re;
    im[i] = z[i].im;
  }
  transpose(re);
  transpose(im);
#pragma GCC unroll 4
  for (int c = 0; c < 8 / kW; ++c) {
    cn y[8];
    for (int a = 0; a < 8; ++a) y[a] = cn{part(re[a], c), part(im[a], c)};
    if (!lanes_product(y, mode, at + c * kW, factor_at != nullptr ? factor_at + c * kW : nullptr)) continue;
    for (int a = 0; a < 8; ++a) {
      part(re[a], c) = y[a].re;
      part(im[a], c) = y[a].im;
    }
  }
  if (mode == row_mode::forward) return;
  transpose(re);
  transpose(im);
  for (int i = 0; i < 8; ++i) z[i] = cv{re[i], im[i]};
}

// Eight groups src (each times its twiddle at tw, when there is one),
// through a radix-8 butterfly across them (with butterfly), the lane
// twiddles at lane, the step across lanes and all of it back into dst (src
// may be dst), all in registers; forward: as across_lanes leaves it.
inline void eight_groups(const double* src, const double* tw, bool butterfly, const double* lane, row_mode mode,
                         double* dst, const double* factor_at, const row_fetch& fetch = row_fetch{}) {
  cv z[8];
  for (int b = 0; b < 8; ++b) z[b] = tw != nullptr ? mul(cload(src + 16 * b), cload(tw + 16 * b)) : cload(src + 16 * b);
  fetch.lines(0, 4);
  if (butterfly) dft8<false>(z);
  for (int c = 0; c < 8; ++c) z[c] = mul(z[c], cload(lane + 16 * c));
  fetch.lines(4, 4);
  across_lanes(z, mode, dst, factor_at);
  fetch.lines(8, 4);
  if (mode == row_mode::forward) return fetch.lines(12, 4);
  for (int c = 0; c < 8; ++c) z[c] = mul_conj(z[c], cload(lane + 16 * c));
  if (butterfly) dft8<true>(z);
  fetch.lines(12, 4);
  for (int b = 0; b < 8; ++b) cstore(dst + 16 * b, tw != nullptr ? mul_conj(z[b], cload(tw + 16 * b)) : z[b]);
}
#else
// The same with vectors narrower than a group: eight groups do not fit the
// registers, so each step takes one piece (kW lanes of every group, or kW
// groups turned) at a time, through a block of the first-level cache. The
// same operations on every lane, so the same bits.
inline void eight_groups(const double* src, const double* tw, bool butterfly, const double* lane, row_mode mode,
                         double* dst, const double* factor_at, const row_fetch& fetch = row_fetch{}) {
  fetch.lines(0, 16);
  alignas(64) double tmp[128];
#pragma GCC unroll 4
  for (int c = 0; c < 8; c += kW) {
    cn y[8];
    for (int b = 0; b < 8; ++b)
      y[b] = tw != nullptr ? mul(nload(src + 16 * b + c), nload(tw + 16 * b + c)) : nload(src + 16 * b + c);
    if (butterfly) dft8<false, vn>(y);
    for (int b = 0; b < 8; ++b) nstore(tmp + 16 * b + c, mul(y[b], nload(lane + 16 * b + c)));
  }
  // The step across lanes, kW groups at a time: their kW x kW blocks turned
  // so that the registers run along the lanes.
#pragma GCC unroll 4
  for (int c = 0; c < 8 / kW; ++c) {
    cn y[8];
#pragma GCC unroll 4
    for (int cb = 0; cb < 8 / kW; ++cb) {
      vn re[kW], im[kW];
      for (int i = 0; i < kW; ++i) {
        re[i] = vat(tmp + 16 * (c * kW + i) + cb * kW);
        im[i] = vat(tmp + 16 * (c * kW + i) + cb * kW + 8);
      }
      transpose_block(re);
      transpose_block(im);
      for (int i = 0; i < kW; ++i) y[cb * kW + i] = cn{re[i], im[i]};
    }
    if (!lanes_product(y, mode, dst + c * kW, factor_at != nullptr ? factor_at + c * kW : nullptr)) continue;
#pragma GCC unroll 4
    for (int cb = 0; cb < 8 / kW; ++cb) {
      vn re[kW], im[kW];
      for (int i = 0; i < kW; ++i) {
        re[i] = y[cb * kW + i].re;
        im[i] = y[cb * kW + i].im;
      }
      transpose_block(re);
      transpose_block(im);
      for (int i = 0; i < kW; ++i) {
        *reinterpret_cast<vn*>(tmp + 16 * (c * kW + i) + cb * kW) = re[i];
        *reinterpret_cast<vn*>(tmp + 16 * (c * kW + i) + cb * kW + 8) = im[i];
      }
    }
  }
  if (mode == row_mode::forward) return;
#pragma GCC unroll 4
  for (int c = 0; c < 8; c += kW) {
    cn y[8];
    for (int b = 0; b < 8; ++b) y[b] = mul_conj(nload(tmp + 16 * b + c), nload(lane + 16 * b + c));
    if (butterfly) dft8<true, vn>(y);
    for (int b = 0; b < 8; ++b) nstore(dst + 16 * b + c, tw != nullptr ? mul_conj(y[b], nload(tw + 16 * b + c)) : y[b]);
  }
}
#endif

// A row of eight groups with its twiddles in the table.
void row_of_eight(const shape_view& s, const double* tw, row_mode mode, const double* in, double* out,
                  const double* factor) {
  eight_groups(in, tw, true, s.lane_twiddles, mode, out, factor);
}

// A row longer than eight groups, or one whose twiddles are not in a table.
__attribute__((noinline)) void long_row(const shape_view& s, int64_t k2, row_mode mode, const double* in,
                                        double* out, const double* factor, double* scratch, const double* next_in,
                                        double* next_out) {
  const int64_t m = s.m, n = s.n;
  const double* tw = s.row_twiddles != nullptr ? s.row_twiddles + 2 * s.n1 * k2 : scratch;
  if (s.row_twiddles == nullptr) {
    // The row's twiddles exp(-2 pi i j1 k2 / n), j1 = a + 8 b: lane a's
    // exp(-2 pi i a k2 / n) times group b's exp(-2 pi i 8 b k2 / n).
    alignas(64) double lane[16];
    for (int a = 0; a < 8; ++a) {
      double w[2];
      root(s, (a * k2) % n, w);
      lane[a] = w[0];
      lane[8 + a] = w[1];
    }
    const cv base = cload(lane);
    const int64_t step = (8 * k2) % n;
    int64_t x = 0;
    for (int64_t b = 0; b < m; ++b) {
      double g[2];
      root(s, x, g);
      x += step;
      if (x >= n) x -= n;
      cstore(scratch + 16 * b, mul(base, broadcast(g)));
    }
  }
  if (mode == row_mode::forward) {
    // The twiddles are taken in the first pass.
    forward(s.row_fft, out, in, tw);
    for (int64_t g = 0; g < m; g += 8)
      eight_groups(out + 16 * g, nullptr, false, s.lane_twiddles + 16 * g, mode, out + 16 * g, nullptr);
    return;
  }
  // The passes of the transform whose spans are longer than a cache span
  // sweep the whole row; then each cache span in turn goes through the
  // rest of the transform, the product and the inverse transform's passes
  // down to its own span while it sits in the first-level cache; then the
  // long passes back. The twiddles are taken in the first pass, and again
  // in the last one back.
  const fft_steps& f = s.row_fft;
  int64_t spans[kMaxPasses];
  const int first = cache_spans(f, spans);
  const int last = f.passes - 1;
  // A last pass of radix 8 (span 8, no twiddles) is one butterfly over the
  // eight groups that the step across lanes takes next: it is taken there,
  // and so is the first pass back.
  const bool fused = last >= 1 && f.radix[last] == 8;
  const int end = fused ? last : f.passes;
  for (int i = 0; i < first; ++i) run_pass<false>(f, i, in, out, f.length, spans[i], tw);
  const int64_t chunk = first == 0 ? f.length : spans[first - 1];
  for (int64_t at = 0; at < f.length; at += chunk) {
    double* d = out + 16 * at;
    for (int i = first; i < end; ++i) run_pass<false>(f, i, in, d, chunk, spans[i], tw);
    // Per eight positions: the lane twiddles, the transform across lanes,
    // the product, and back; the rows' values sit in the transposed order between.
    for (int64_t g = at; g < at + chunk; g += 8) {
      const row_fetch fetch{next_in != nullptr ? next_in + 16 * g : nullptr, next_out != nullptr ? next_out + 16 * g : nullptr};
      eight_groups(out + 16 * g, nullptr, fused, s.lane_twiddles + 16 * g, mode, out + 16 * g,
                   factor != nullptr ? factor + 16 * g : nullptr, fetch);
    }
    for (int i = end - 1; i >= first; --i) run_pass<true>(f, i, nullptr, d, chunk, spans[i], tw);
  }
  for (int i = first - 1; i >= 0; --i) run_pass<true>(f, i, nullptr, out, f.length, spans[i], tw);
}

// The shortest rows go straight to their registers-only kernel, without
// the longer kernel's frame.
void row(const shape_view& s, int64_t k2, row_mode mode, const double* in, double* out, const double* factor,
         double* scratch, const double* next_in, double* next_out) {
  if (s.m == 8 && s.row_twiddles != nullptr)
    row_of_eight(s, s.row_twiddles + 2 * s.n1 * k2, mode, in, out, factor);
  else
    long_row(s, k2, mode, in, out, factor, scratch, next_in, next_out);
}

void column_inverse(const shape_view& s, const double* state, int64_t row_stride, double* block, double*) {
  const int64_t h = s.h;
  const int64_t* pos = s.column_fft.position;
  // Z[k] = E + i O: E = X[k] + conj X[h - k], O = (X[k] - conj X[h - k]) exp(2 pi i k / n2);
  // rows 0 and h count with their real parts only.
  {
    const v8 x0 = load(state), xh = load(state + h * row_stride);
    cstore(block + 16 * pos[0], cv{x0 + xh, x0 - xh});
  }
  // The rows a few steps on, both ways, on their way into the cache: the
  // previous block's forward transforms fetched them once already, but
  // past the second-level cache some are gone again.
  constexpr int64_t ahead = tuning::kColumnFetchAhead;
  for (int64_t k = 1; k <= h / 2; ++k) {
    if (k + ahead <= h / 2) {
      const double* p = state + (k + ahead) * row_stride;
      const double* q = state + (h - k - ahead) * row_stride;
      __builtin_prefetch(p, 0, 3);
      __builtin_prefetch(p + 8, 0, 3);
      __builtin_prefetch(q, 0, 3);
      __builtin_prefetch(q + 8, 0, 3);
    }
    const cv a = cload(state + k * row_stride), b = cload(state + (h - k) * row_stride);
    const cv w = broadcast(s.real_twiddles + 2 * k);
    // k: E = a + conj b, O = (a - conj b) conj(w); h - k: E' = b + conj a = conj E, O' = (b - conj a) conj(w') with
    // w' = exp(-2 pi i (h - k) / n2) = -conj(w), so O' = (b - conj a) (-w) = conj(a - conj b) w = conj(O).
    const cv e = a + conj(b), o = mul_conj(a - conj(b), w);
    cstore(block + 16 * pos[k], e + times_i(o));
    if (k != h - k) cstore(block + 16 * pos[h - k], conj(e) + times_i(conj(o)));
  }
  backward(s.column_fft, block);
}

void column_forward(const shape_view& s, double* block, double* state, int64_t row_stride, double*) {
  const int64_t h = s.h;
  const int64_t* pos = s.column_fft.position;
  forward(s.column_fft, block);
  // X[k] = (E + w^k O) / 2: E = Z[k] + conj Z[h - k], O = -i (Z[k] - conj Z[h - k]).
  {
    const cv z = cload(block + 16 * pos[0]);
    store(state, z.re + z.im);
    store(state + 8, splat(0));
    store(state + h * row_stride, z.re - z.im);
    store(state + h * row_stride + 8, splat(0));
  }
  const v8 half = splat(0.5);
  // The next block's lines of the rows written here: its inverse transforms
  // read them in this order, a row (many pages) apart, where the processor's
  // own prefetcher does not look ahead.
  const auto fetch_next = [&](int64_t k) {
    const double* next = state + k * row_stride + 16;
    __builtin_prefetch(next, 0, 2);
    __builtin_prefetch(next + 8, 0, 2);
  };
  fetch_next(0);
  fetch_next(h);
  for (int64_t k = 1; k <= h / 2; ++k) {
    fetch_next(k);
    fetch_next(h - k);
    const cv a = cload(block + 16 * pos[k]), b = cload(block + 16 * pos[h - k]);
    const cv w = broadcast(s.real_twiddles + 2 * k);
    const cv e = a + conj(b), o = mul(times_minus_i(a - conj(b)), w);
    // h - k: E' = conj E, O' = conj O and w' = exp(-2 pi i (h - k) / n2) = -conj w, so w' O' = -conj(w O).
    cstore(state + k * row_stride, scale(e + o, half));
    if (k != h - k) cstore(state + (h - k) * row_stride, scale(conj(e) - conj(o), half));
  }
}

inline vn nabs(vn v) {
  typedef long long vni __attribute__((vector_size(8 * kW)));
  return reinterpret_cast<vn>(reinterpret_cast<vni>(v) & 0x7fffffffffffffffLL);
}
// a > b ? a : b, lane by lane (the processor's max, which is exactly that).
inline vn nmax(vn a, vn b) {
#if defined(__AVX512F__)
  const __m512d x = reinterpret_cast<__m512d>(a);  // every lane taken: x only names the pass-through
  return reinterpret_cast<vn>(_mm512_mask_max_pd(x, 0xff, x, reinterpret_cast<__m512d>(b)));
#elif defined(__AVX2__)
  return reinterpret_cast<vn>(_mm256_max_pd(reinterpret_cast<__m256d>(a), reinterpret_cast<__m256d>(b)));
#else
  return reinterpret_cast<vn>(_mm_max_pd(reinterpret_cast<__m128d>(a), reinterpret_cast<__m128d>(b)));
#endif
}

// The nearest integer to v, ties to even; |v| < 2^51.
inline vn nearest(vn v) {
#if defined(__AVX512F__)
  const __m512d x = reinterpret_cast<__m512d>(v);  // every lane taken: x only names the pass-through
  return reinterpret_cast<vn>(_mm512_mask_roundscale_pd(x, 0xff, x, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
#elif defined(__AVX2__)
  return reinterpret_cast<vn>(_mm256_round_pd(reinterpret_cast<__m256d>(v), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
#else
  constexpr double kRound = 0x1.8p52;
  const vn r = splat_as<vn>(kRound);
  return (v + r) - r;
#endif
}
// acc > |v| ? acc : |v| for acc >= 0: with AVX-512 one operation that
// compares magnitudes and clears the sign.
inline vn max_abs(vn acc, vn v) {
#if defined(__AVX512DQ__)
  return reinterpret_cast<vn>(_mm512_range_pd(reinterpret_cast<__m512d>(acc), reinterpret_cast<__m512d>(v), 0x0b));
#else
  return nmax(acc, nabs(v));
#endif
}

// Rounds, subtracts and carries as table::carry describes. Lanes run along
// the block's columns; eight rows at a time are turned so that lanes run
// down the rows and the carry goes from vector to vector, in pieces of the
// processor's own width.
// With the choices that do not change from word to word made once, so
// that the eight steps along a row unroll and the rows stay in registers;
// Sub: whether the subtraction falls in this block. A factor of 2 or 1/2
// for a wrapped word is taken as an addition or product under the wrap's
// mask: exact, so the same bits as the products by 2, 1 or 1/2. Whether a
// word wraps and whether it is long come from its unweight and the
// tables' thresholds, and each rounding to a multiple of 2^bits is the
// nearest integer of a product by 2^-bits: the same bits as adding and
// subtracting 1.5 2^(52 + bits), in fewer operations where the processor
// rounds in one.
template <bool Weigh, bool Scaled, bool Sub>
void carry_as(const word_tables& k, int64_t j1_0, double* s, double* carries, bool fresh,
              const placed_subtract& sub, double* err_out, double* big_out) {
  const int64_t n2 = k.n2;
  vn err = splat_as<vn>(0), big = splat_as<vn>(0);
  const vn half = splat_as<vn>(0.5);
  const vn inv_long = splat_as<vn>(k.inv_long), inv_short = splat_as<vn>(k.inv_short), zero = splat_as<vn>(0);
  const vn times = splat_as<vn>(sub.times);
#if defined(__AVX2__)
  const vn scale_long = splat_as<vn>(1 / k.inv_long), scale_short = splat_as<vn>(1 / k.inv_short);
#else
  constexpr double kRound = 0x1.8p52;
  const vn round_long = splat_as<vn>(k.round_long), round_short = splat_as<vn>(k.round_short);
  const vn minus_round = splat_as<vn>(-kRound);
#endif
  vn lane = zero;
  for (int i = 0; i < kW; ++i) lane[i] = i;
  // G groups of eight rows at a time, their steps interleaved: each row's
  // carry is a chain of dependent operations from word to word, and two
  // chains side by side keep the processor's units busy.
  const auto rows = [&]<int G>(int64_t g) {
    v8 r8[G][8];
    for (int h = 0; h < G; ++h) {
      for (int i = 0; i < 8; ++i) r8[h][i] = load(s + 8 * (g + 8 * h + i));
      transpose(r8[h]);
    }
#pragma GCC unroll 4
    for (int c = 0; c < 8 / kW; ++c) {
      vn cy[G], ru[G], rw[G];
      int64_t g0[G];
      for (int h = 0; h < G; ++h) {
        g0[h] = g + 8 * h + c * kW;
        cy[h] = fresh ? zero : vat(carries + g0[h]);
        ru[h] = vat(k.row_u + g0[h]);
        rw[h] = vat(k.row_w + g0[h]);
      }
#pragma GCC unroll 8
      for (int t = 0; t < 8; ++t) {
        const int64_t j1 = j1_0 + t;
#pragma GCC unroll 2
        for (int h = 0; h < G; ++h) {
          const vn u0 = ru[h] * k.col_u[j1];
          const auto wrap = u0 <= k.wrap_at;
          const vn uw = wrap ? u0 + u0 : u0;
          const auto long_word = uw > k.long_above;
          const vn u = part(r8[h][t], c) * uw;
          vn rv = nearest(u);
          err = max_abs(err, u - rv);
          big = max_abs(big, u);
          if (Scaled) rv *= times;
          if (Sub && j1 == sub.column && sub.row >= g0[h] && sub.row < g0[h] + kW)
            rv -= lane == static_cast<double>(sub.row - g0[h]) ? splat_as<vn>(sub.value) : zero;
          const vn x = rv + cy[h];
#if defined(__AVX2__)
          // hi = x 2^-bits to the nearest integer, x - hi 2^bits: both exact.
          const vn hi = nearest(x * (long_word ? inv_long : inv_short));
          const vn d = fmadd(-hi, long_word ? scale_long : scale_short, x);
          cy[h] = hi;
#else
          const vn round_at = long_word ? round_long : round_short;
          const vn up = x + round_at;
          const vn d = x - (up - round_at);
          // hi 2^-bits as up 2^-bits - 1.5 2^52: exact, fused or not (the
          // product is a power-of-two scaling, the difference representable),
          // and with FMA the chain from word to word one operation shorter.
          cy[h] = fmadd(up, long_word ? inv_long : inv_short, minus_round);
#endif
          if (Weigh) {
            const vn w = d * (rw[h] * k.col_w[j1]);
            part(r8[h][t], c) = wrap ? w * half : w;
          } else {
            part(r8[h][t], c) = d;
          }
        }
      }
      for (int h = 0; h < G; ++h) *reinterpret_cast<vn*>(carries + g0[h]) = cy[h];
    }
    for (int h = 0; h < G; ++h) {
      transpose(r8[h]);
      for (int i = 0; i < 8; ++i) store(s + 8 * (g + 8 * h + i), r8[h][i]);
    }
  };
  int64_t g = 0;
  for (; g + 16 <= n2; g += 16) rows.template operator()<2>(g);
  if (g < n2) rows.template operator()<1>(g);
  double e = 0, b = 0;
  for (int i = 0; i < kW; ++i) {
    e = err[i] > e ? err[i] : e;
    b = big[i] > b ? big[i] : b;
  }
  *err_out = e;
  *big_out = b;
}

template <bool Sub>
void carry_with(const word_tables& k, int64_t j1_0, double* s, double* carries, bool fresh, bool weigh,
                const placed_subtract& sub, double* err_out, double* big_out) {
  const bool scaled = sub.times != 1.0;
  if (weigh && !scaled)
    carry_as<true, false, Sub>(k, j1_0, s, carries, fresh, sub, err_out, big_out);
  else if (weigh)
    carry_as<true, true, Sub>(k, j1_0, s, carries, fresh, sub, err_out, big_out);
  else if (!scaled)
    carry_as<false, false, Sub>(k, j1_0, s, carries, fresh, sub, err_out, big_out);
  else
    carry_as<false, true, Sub>(k, j1_0, s, carries, fresh, sub, err_out, big_out);
}

void carry(const word_tables& k, int64_t j1_0, double* s, double* carries, bool fresh, bool weigh,
           const placed_subtract& sub, double* err_out, double* big_out) {
  if (sub.column >= j1_0 && sub.column < j1_0 + 8)
    carry_with<true>(k, j1_0, s, carries, fresh, weigh, sub, err_out, big_out);
  else
    carry_with<false>(k, j1_0, s, carries, fresh, weigh, sub, err_out, big_out);
}

void weigh(const word_tables& k, int64_t j1_0, double* s) {
  const vn half = splat_as<vn>(0.5), one = splat_as<vn>(1.0);
  for (int c = 0; c < 8; c += kW) {
    const vn cr = vat(k.col_r + j1_0 + c), cw = vat(k.col_w + j1_0 + c);
    for (int64_t j2 = 0; j2 < k.n2; ++j2) {
      const vn r = cr + k.row_r[j2];
      const auto wrap = r >= k.n;
      vn* at = reinterpret_cast<vn*>(s + 8 * j2 + c);
      *at = *at * (cw * k.row_w[j2]) * (wrap ? half : one);
    }
  }
}

void fix_up(const word_tables& k, int64_t j1_0, double* s, const double* in, bool* overflow) {
  vn bad = splat_as<vn>(0);
  const vn round_long = splat_as<vn>(k.round_long), round_short = splat_as<vn>(k.round_short);
  const vn inv_long = splat_as<vn>(k.inv_long), inv_short = splat_as<vn>(k.inv_short), zero = splat_as<vn>(0);
  for (int64_t g = 0; g < k.n2; g += 8) {
    bool none = true;
    for (int i = 0; i < 8; ++i) none = none && in[g + i] == 0;
    if (none) continue;
    v8 r8[8];
    for (int i = 0; i < 8; ++i) r8[i] = load(s + 8 * (g + i));
    transpose(r8);
#pragma GCC unroll 4
    for (int c = 0; c < 8 / kW; ++c) {
      vn cy = vat(in + g + c * kW);
      const vn rr = vat(k.row_r + g + c * kW);
      for (int t = 0; t < 8; ++t) {
        vn r = rr + k.col_r[j1_0 + t];
        r = r >= k.n ? r - k.n : r;
        const auto long_word = r < k.q;
        const auto small = nabs(cy) <= 1.0;
        const vn x = part(r8[t], c) + cy;
        const vn round_at = long_word ? round_long : round_short;
        const vn hi = (x + round_at) - round_at;
        part(r8[t], c) = small ? x : x - hi;
        cy = small ? zero : hi * (long_word ? inv_long : inv_short);
      }
      bad = nmax(bad, nabs(cy));
    }
    transpose(r8);
    for (int i = 0; i < 8; ++i) store(s + 8 * (g + i), r8[i]);
  }
  bool any = false;
  for (int i = 0; i < kW; ++i) any = any || bad[i] != 0;
  *overflow = any;
}

}  // namespace
}  // namespace KERNEL_NS

const table KERNEL_TABLE = {KERNEL_NAME, KERNEL_NS::row, KERNEL_NS::column_inverse, KERNEL_NS::column_forward,
                            KERNEL_NS::carry, KERNEL_NS::weigh, KERNEL_NS::fix_up};

}  // namespace fast_kernels
