#include "cli/help.h"

#include <cstdint>
#include <string>
#include <utility>

#include "arith/engine_table.h"
#include "work/report.h"

#ifndef MERSENNE_VERSION
#define MERSENNE_VERSION "unknown"
#endif

namespace {

const char* kFooter = R"(EXPONENT is p or an inclusive range A-B, with 2 <= p <= 2147483647.
Each exponent is tested by the Lucas-Lehmer test of 2^p - 1 (--test=ll), or
by the base-3 Fermat probable-prime test with the Gerbicz check
(--test=prp), except that p = 2 is prime at once and a composite p is
reported at once as not prime, naming its smallest prime factor. For
--test=prp, prime means "probable prime" and res64 is the low 64 bits of
3^(2^p - 2) mod 2^p - 1 (0000000000000001 for a probable prime); --proof K
also writes M<p>.power<K>.proof, which 'mersenne --verify FILE...' checks
with about 1/2^K of the test's work.

Before the test of a prime p whose test would take 10 s or more, 2^p - 1 is
trial-factored (factors 2kp + 1 below 2^B, B from the measured rates; --tf
for every p, --tf-bits B for exactly 2^B, 0 for none; --test=tf factors
only). A factor found is reported with the words "trial factoring"; a search
reaching the square root of 2^p - 1 proves it prime.

--pm1 runs P-1 factoring after the trial factoring and before each test whose
odds pay for it (B1 and B2 chosen for the chance of a factor times the tests
it saves, --tests-saved 2 or 1, against P-1's cost); --pm1-bounds B1[,B2]
fixes the bounds (no B2: stage 1 only). A factor found settles the exponent.
--test=pm1 runs P-1 alone and reports every factor its bounds reach;
--test=ecm --curves N --ecm-b1 B1 runs ECM curves on small exponents. --results FILE appends
each final JSON line to FILE, and run again with FILE reports what it holds
instead of doing it again; --from FILE reads exponents (one p or range a
line, '-' for stdin); --shard I/N takes every N-th exponent from the I-th;
'mersenne --summary FILE...' counts results (an exponent whose results
disagree, prime against not prime or two Res64 of one test, counts as no
verdict and is named).

Output: one line per exponent, in the order given, for example
@EXAMPLE@With --json, one JSON object per line with the fields exponent, prime, res64
(16 hex digits, the low 64 bits of the final residue; null where no test
ran), test ("ll" or "prp"), engine ("none" where no test ran), fft_length (0
where no transform is used), max_roundoff, seconds and verdict,
resumed_from, shift and errors (jacobi, roundoff, gerbicz) where an engine
ran, plus divisor, note, error, partial, factor, tf_bits and proof ({"file",
"power"}) where they apply (engine "tf" where trial factoring settled it).
Where an engine gives no verdict (its rounding bound was crossed, or it
could not run), prime and res64 are null, verdict is false and note or error
says why; max_roundoff is null if a coefficient was not finite.

With --benchmark the words are transform lengths instead (digits with an
optional K = 1024 or M = 1048576; default: 4K to 4M by powers of two, those
that fit in memory), each rounded up to the next length of the fast engine.
For each length, at the largest exponent it serves: milliseconds per
iteration on one thread and on --threads threads (default: all usable
cores), FFTW's bare transform pair on one thread, and the seconds spent
making the plans (not part of the times). A table, or with --json one object
per length with the fields fft_length, max_exponent, ms_per_iteration,
threads, ms_per_iteration_threads, ms_fftw_pair, plan_seconds, and
asked_length where the length was rounded up.

--benchmark --throughput [LENGTH...] (default: 1M 2M 4M 8M) runs, at each
length, every split of the usable cores into workers x threads (1 x all
to all x 1), each worker testing its own exponent on cores of its own, and
one worker on one thread alone: iterations per second in all for each split,
the best one, scaling (1 x all over one alone) and ceiling (all x 1 over one
alone); with --json one object per split with the fields fft_length,
workers, threads, iterations_per_second, ms_per_iteration, exponents,
one_thread_iterations_per_second, scaling, ceiling, best, pinned, ghz and
iteration. The best split per length is saved in the cache folder: a later
run of several exponents without --jobs and --threads takes the split saved
at the length of its largest exponent's test (from 64K words on).

--benchmark --list prints every length of the fast engine with the largest
exponent it serves and the iteration run there, timing nothing (with --json
the fields fft_length, max_exponent, iteration); it takes no lengths.

--self-test [quick|full] [LENGTH...] checks the fast engine against
residues computed beforehand with GMP and built into the program, at each
length on every path this processor has (the two-pass kernels, FFTW's twin,
and the one-transform squarer below 256K): quick (default) every length up
to 16K and one per octave up to 1M, full every length, or the lengths given.
One line per length and path, 'LENGTH PATH ok' or 'LENGTH PATH MISMATCH at
iteration I' (ROUNDING where a rounding distance reached 0.5, NOT RUN where
it could not run), then a summary, 'self-test: N of N passed' or 'self-test:
FAILED K of N' naming the lengths; with --json objects with fft_length,
path, result, iteration, and a summary object. Its plans are estimated
unless asked.

FFTW plans are measured by default (slow to make once, faster to run);
--plans estimate, or MERSENNE_PLANS=estimate in the environment, makes them
at once.

Progress (iteration, percent, iterations per second, ETA) goes to stderr as
one line updated in place, by default only when stderr is a terminal.

Exit status: 0 every exponent got a verdict (--verify: every proof is
valid); 1 bad options or exponents;
3 at least one exponent got no verdict (--benchmark: a length could not be
measured; --self-test: a length and path did not pass or could not run;
--summary: the results files disagree on an exponent); 4 the results could not be written
(disk full, stdout closed, its reader gone): the run stops at once;
5 (--verify) at least one proof is invalid, truncated or unreadable;
128 + n when signal n (SIGINT, SIGTERM, SIGHUP) stopped the run: the running
tests' states are saved and the same command resumes them.
With no arguments at all the program runs its console dialogue instead.
)";

// Two result lines as the program prints them (the time is illustrative).
std::string example_lines() {
  std::string text;
  for (const auto& [p, res64] : {std::pair<int32_t, uint64_t>{86243, 0}, {86249, 0x422C56C4F9E3F2E3}}) {
    exponent_result r;
    r.p = p;
    const engine* e = auto_engine(p);
    r.engine = e->name;
    r.outcome.verdict = true;
    r.outcome.prime = res64 == 0;
    r.outcome.res64 = res64;
    r.outcome.fft_length = e->start_length != nullptr ? e->start_length(p, 0) : 0;
    r.seconds = 1.1;
    text += "  " + result_text(r) + "\n";
  }
  return text;
}

}  // namespace

std::string help_footer() {
  std::string text = kFooter;
  const std::string mark = "@EXAMPLE@";
  text.replace(text.find(mark), mark.size(), example_lines());
  return text;
}


std::string version_text() { return std::string("mersenne ") + MERSENNE_VERSION + " (commit " + MERSENNE_COMMIT + ")\n"; }
