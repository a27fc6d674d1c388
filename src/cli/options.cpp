#include "cli/options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <thread>
#include <tuple>

#include "base/machine.h"
#include "base/numbers.h"
#include "work/report.h"
#include "arith/engine_table.h"
#include "methods/factor/factor.h"
#include "arith/fast/lengths.h"

#ifndef MERSENNE_VERSION
#define MERSENNE_VERSION "unknown"
#endif

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
reaching the square root of 2^p - 1 proves it prime. --results FILE appends
each final JSON line to FILE, and run again with FILE reports what it holds
instead of doing it again; --from FILE reads exponents (one p or range a
line, '-' for stdin); --shard I/N takes every N-th exponent from the I-th;
'mersenne --summary FILE...' counts results.

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

FFTW plans are measured by default (slow to make once, faster to run);
--plans estimate, or MERSENNE_PLANS=estimate in the environment, makes them
at once.

Progress (iteration, percent, iterations per second, ETA) goes to stderr as
one line updated in place, by default only when stderr is a terminal.

Exit status: 0 every exponent got a verdict (--verify: every proof is
valid); 1 bad options or exponents;
3 at least one exponent got no verdict (--benchmark: a length could not be
measured); 4 the results could not be written
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

std::string footer() {
  std::string text = kFooter;
  const std::string mark = "@EXAMPLE@";
  text.replace(text.find(mark), mark.size(), example_lines());
  return text;
}

}  // namespace

bool parse_exponent(std::string_view token, exponent_span* out, std::string* why) {
  if (!token.empty() && token[0] == '-') {
    const std::string_view rest = token.substr(1);
    const bool number = !rest.empty() && rest.find_first_not_of("0123456789") == std::string_view::npos;
    if (number)
      *why = "exponent " + std::string(token) + " is below 2";
    else if (token.substr(0, 2) == "--")
      *why = "'" + std::string(token) + "' is not an exponent (after '--' every word is read as one)";
    else
      *why = "'" + std::string(token) + "' is not an exponent";
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
    *why = "'" + std::string(token) + "' is not a transform length (digits, optionally followed by K or M)";
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

std::string version_text() { return std::string("mersenne ") + MERSENNE_VERSION + "\n"; }

parsed_command parse_command_line(int argc, const char* const* argv) {
  parsed_command result;
  cli_options& o = result.options;

  CLI::App app{"Lucas-Lehmer test of Mersenne numbers 2^p - 1.", "mersenne"};
  app.footer(footer());
  std::vector<std::string> tokens;
  std::vector<std::string> engine_names{"auto"};
  for (const engine& e : engine_table()) engine_names.emplace_back(e.name);
  bool version = false;
  bool progress = false;

  app.add_option("EXPONENT", tokens, "p or an inclusive range A-B (with --benchmark: a transform length)");
  app.add_option("--engine", o.engine, "auto (the fastest engine for each p), or one engine")
      ->check(CLI::IsMember(engine_names))
      ->capture_default_str();
  app.add_flag("--json", o.json, "one JSON object per exponent instead of a line of text");
  // Negatable: of --progress and --no-progress the later one wins.
  CLI::Option* progress_flag = app.add_flag("--progress,!--no-progress", progress,
                                            "show progress on stderr, or not (default: only when it is a terminal)");
  CLI::Option* jobs_option =
      app.add_option("--jobs,-j", o.jobs,
                     "exponents tested side by side (default: the usable cores divided by --threads, at least 1; "
                     "at most " +
                         std::to_string(kJobsPerCore) +
                         " per core: more only share the same cores and multiply the memory)")
          ->check(CLI::PositiveNumber);
  CLI::Option* threads_option =
      app.add_option("--threads", o.threads,
                     "threads inside one test (fast engine; default: all usable cores for a single exponent, "
                     "with --jobs 1 and with --benchmark, else 1; at most " +
                         std::to_string(kThreadsPerCore) + " per core: more only wait for each other)")
          ->check(CLI::PositiveNumber);
  std::string plans;
  app.add_option("--plans", plans,
                 "FFTW plans: measure (slow to make once, faster to run) or estimate (default: measure, or "
                 "$MERSENNE_PLANS)")
      ->check(CLI::IsMember({"measure", "estimate"}));
  bool benchmark = false;
  app.add_flag("--benchmark", benchmark,
               "time the fast engine at the transform lengths given instead of testing exponents, and exit");
  app.add_flag("--version", version, "print the version and exit");
  bool no_checkpoints = false, list_states = false, forget = false;
  app.add_option("--checkpoint-every", o.checkpoint_every, "seconds between saved states of a test (fractions allowed)")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  app.add_option("--state-dir", o.state_dir,
                 "where states are saved (default: $XDG_STATE_HOME/mersenne, else ~/.local/state/mersenne)");
  app.add_flag("--no-checkpoints", no_checkpoints,
               "save nothing and resume nothing (the checks still roll back in memory)");
  app.add_flag("--states", list_states, "list the saved states (exponent, test, iteration, age) and exit");
  app.add_flag("--forget", forget, "remove the saved states of the exponents given, and exit");
  // Read as text: a number too large for the shift is refused here rather than wrapped to another.
  std::string shift;
  app.add_option("--shift", shift, "starting shift of the residue (taken mod p; default: random)")->type_name("INT");
  app.add_option("--iterations", o.iterations,
                 "run only the first K iterations and report the Res64 of s(K) (its state is kept)")
      ->check(CLI::PositiveNumber);
  std::string test = "ll";
  app.add_option("--test", test,
                 "ll: the Lucas-Lehmer test; prp: the base-3 probable-prime test with the Gerbicz check; tf: trial "
                 "factoring only")
      ->check(CLI::IsMember({"ll", "prp", "tf"}))
      ->capture_default_str();
  CLI::Option* proof_option =
      app.add_option("--proof", o.proof_power,
                     "with --test=prp: write the proof M<p>.power<POWER>.proof of this power (1 to 12; it keeps about "
                     "2^POWER residues of p/8 bytes on disk while the test runs)")
          ->check(CLI::Range(1, 12));
  app.add_option("--proof-dir", o.proof_dir, "where proofs are written (default: the current directory)");
  app.add_flag("--tf", o.tf_auto,
               "trial-factor every exponent before its test, to the depth its estimated time warrants (by "
               "default only exponents whose test would take 10 s or more)");
  CLI::Option* tf_bits_option =
      app.add_option("--tf-bits", o.tf_bits, "trial-factor every exponent to 2^B first (0: never)")
          ->check(CLI::Range(0, kFactorMaxBits));
  app.add_option("--results", o.results_file,
                 "append each exponent's final JSON line to FILE; run again with it, exponents already there are "
                 "reported from it, not done again");
  app.add_option("--from", o.from_file, "read more exponents from FILE, one p or range a line ('-': standard input)");
  std::string shard;
  app.add_option("--shard", shard, "I/N: only every N-th exponent of the list, starting with the I-th");
  bool summary = false;
  app.add_flag("--summary", summary,
               "count the primes, factored, tested and no-verdict exponents of the results files given, and exit");
  bool verify = false;
  app.add_flag("--verify", verify, "check the proof files given instead of testing exponents (exit status 5: one is invalid)");
  app.add_option("--inject-fault", o.inject_faults,
                 "for testing: damage the residue once after iteration ITER (may be repeated; with --test=prp an "
                 "iteration given k times is damaged on each of its first k passes)")
      ->allow_extra_args(false)
      ->take_all()
      ->check(CLI::PositiveNumber);

  // "--jobs= 7" would take the next word as the value: an option written
  // with '=' must carry its value in the same word.
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "--") break;
    if (a.size() > 3 && a.substr(0, 2) == "--" && a.back() == '=' && a.find('=') == a.size() - 1) {
      result.action = cli_action::error;
      result.text = "option '" + std::string(a) + "' has an empty value";
      return result;
    }
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    result.action = cli_action::help;
    result.text = app.help();
    return result;
  } catch (const CLI::ParseError& e) {
    result.action = cli_action::error;
    result.text = e.what();
    const size_t nl = result.text.find('\n');
    if (nl != std::string::npos) result.text.resize(nl);
    return result;
  }
  if (version) {
    result.action = cli_action::version;
    result.text = version_text();
    return result;
  }
  if (progress_flag->count() > 0) o.progress = progress ? progress_mode::on : progress_mode::off;
  o.prp = test == "prp";
  o.factor_only = test == "tf";
  const auto refuse = [&](std::string text) {
    result.action = cli_action::error;
    result.text = std::move(text);
    return result;
  };
  // A NaN passes the positive-number check (every comparison with it is false).
  if (!std::isfinite(o.checkpoint_every) || !(o.checkpoint_every > 0))
    return refuse("--checkpoint-every takes a positive number of seconds");
  for (const auto& [option, value] : {std::pair{"--results", &o.results_file}, {"--from", &o.from_file},
                                      {"--shard", &shard}, {"--state-dir", &o.state_dir}, {"--proof-dir", &o.proof_dir}})
    if (app.count(option) > 0 && value->empty()) return refuse(std::string("option '") + option + "' has an empty value");
  if (app.count("--shift") > 0) {
    uint64_t v = 0;
    const auto [end, ec] = std::from_chars(shift.data(), shift.data() + shift.size(), v);
    if (ec != std::errc() || end != shift.data() + shift.size() || shift.empty() ||
        v > static_cast<uint64_t>(INT64_MAX))
      return refuse("--shift takes a whole number from 0 to " + std::to_string(INT64_MAX) + ", not '" + shift + "'");
    o.shift = static_cast<int64_t>(v);
  }
  if (summary) {
    if (tokens.empty() || verify || list_states || forget || benchmark)
      return refuse(tokens.empty() ? "--summary needs at least one results file"
                                   : "--summary takes no --verify, --states, --forget or --benchmark");
    o.summary_files = tokens;
    result.action = cli_action::summary;
    return result;
  }
  if (!shard.empty()) {
    std::string why;
    if (!parse_shard(shard, &o.shard_index, &o.shard_count, &why)) return refuse(why);
  }
  if (o.factor_only && (o.iterations > 0 || (tf_bits_option->count() > 0 && o.tf_bits == 0)))
    return refuse(o.iterations > 0 ? "--iterations applies to the Lucas-Lehmer test only"
                                   : "--test=tf needs a depth: --tf-bits 0 turns factoring off");
  if (proof_option->count() > 0 && !o.prp) {
    result.action = cli_action::error;
    result.text = "--proof needs --test=prp (a Lucas-Lehmer test has no proof)";
    return result;
  }
  if (o.prp && o.iterations > 0) {
    result.action = cli_action::error;
    result.text = "--iterations applies to the Lucas-Lehmer test only";
    return result;
  }
  if (verify) {
    if (list_states || forget || benchmark || tokens.empty()) {
      result.action = cli_action::error;
      result.text = tokens.empty() ? "--verify needs at least one proof file"
                                   : "--verify takes no --states, --forget or --benchmark";
      return result;
    }
    o.verify_files = tokens;
    if (threads_option->count() == 0) o.threads = usable_cores();
    o.threads = std::min(o.threads, kThreadsPerCore * usable_cores());
    result.action = cli_action::verify;
    return result;
  }
  o.checkpoints = !no_checkpoints;
  if (!plans.empty()) o.plans = plans == "measure" ? plan_choice::measure : plan_choice::estimate;
  if (list_states && (forget || benchmark || !tokens.empty())) {
    result.action = cli_action::error;
    result.text = "--states takes no exponents, no --forget and no --benchmark";
    return result;
  }
  if (forget && benchmark) {
    result.action = cli_action::error;
    result.text = "--forget and --benchmark exclude each other";
    return result;
  }
  if (list_states) {
    result.action = cli_action::states;
    return result;
  }
  const int cores = usable_cores();
  for (auto [value, per_core, name] : {std::tuple{&o.jobs, kJobsPerCore, "--jobs"},
                                       std::tuple{&o.threads, kThreadsPerCore, "--threads"}}) {
    if (*value > per_core * cores) {
      result.warnings.push_back(std::string(name) + " " + std::to_string(*value) + " lowered to " +
                                std::to_string(per_core * cores) + " (" + std::to_string(per_core) + " per core, " +
                                std::to_string(cores) + (cores == 1 ? " core" : " cores") + " usable)");
      *value = per_core * cores;
    }
  }
  const bool jobs_given = jobs_option->count() > 0, threads_given = threads_option->count() > 0;
  if (benchmark) {
    for (const std::string& t : tokens) {
      bench_length length;
      std::string why;
      if (!parse_bench_length(t, &length, &why)) {
        result.action = cli_action::error;
        result.text = why;
        return result;
      }
      o.bench_lengths.push_back(length);
    }
    if (!threads_given) o.threads = cores;
    result.action = cli_action::benchmark;
    return result;
  }
  if (tokens.empty() && o.from_file.empty()) {
    result.action = cli_action::error;
    result.text = "no exponent given";
    return result;
  }
  for (const std::string& t : tokens) {
    exponent_span span;
    std::string why;
    if (!parse_exponent(t, &span, &why)) {
      result.action = cli_action::error;
      result.text = why;
      return result;
    }
    o.exponents.push_back(span);
  }
  // One exponent, or one job, gets all the cores; several share them, one
  // thread each. Defaults never ask for more than cores threads in all (a
  // --jobs beyond the exponents starts no more workers than exponents).
  const bool one_exponent =
      o.from_file.empty() && o.exponents.size() == 1 && o.exponents[0].first == o.exponents[0].last;
  if (!threads_given) o.threads = one_exponent || (jobs_given && o.jobs == 1) ? cores : 1;
  if (!jobs_given) o.jobs = std::max(1, cores / o.threads);
  result.action = forget ? cli_action::forget : cli_action::run;
  return result;
}
