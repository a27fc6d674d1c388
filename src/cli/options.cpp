#include "cli/options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>

#include "arith/engine_table.h"
#include "base/machine.h"
#include "cli/help.h"
#include "methods/ecm.h"
#include "methods/factor/factor.h"
#include "work/plan.h"

namespace {

// A P-1 or ECM bound: decimal digits only, from 2 to 2^63 - 1; false with a reason naming option otherwise.
bool parse_bound(const std::string& text, const char* option, const char* what, uint64_t* out, std::string* why) {
  uint64_t v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (text.empty() || ec == std::errc::invalid_argument || (ec == std::errc() && end != text.data() + text.size())) {
    *why = std::string(option) + " takes a whole number for " + what + ", not '" + text + "'";
    return false;
  }
  if (ec != std::errc() || v < 2 || v > static_cast<uint64_t>(INT64_MAX)) {
    *why = std::string(option) + ": " + what + " " + text + " is out of range (2 to " + std::to_string(INT64_MAX) + ")";
    return false;
  }
  *out = v;
  return true;
}

// Reads --pm1-bounds "B1[,B2]" into b1, b2 (B2 left out: stage 1 only, b2 = b1);
// false with a reason when B1 < 2, B2 < B1 or either is no number.
bool parse_pm1_bounds(const std::string& text, uint64_t* b1, uint64_t* b2, std::string* why) {
  const size_t comma = text.find(',');
  uint64_t first = 0, second = 0;
  if (!parse_bound(text.substr(0, comma), "--pm1-bounds", "B1", &first, why)) return false;
  second = first;
  if (comma != std::string::npos && !parse_bound(text.substr(comma + 1), "--pm1-bounds", "B2", &second, why))
    return false;
  if (second < first) {
    *why = "--pm1-bounds: B2 " + std::to_string(second) + " is below B1 " + std::to_string(first);
    return false;
  }
  *b1 = first;
  *b2 = second;
  return true;
}

// The help lines of the flags that exclude one another carry no list of
// those they exclude: the usage error names the pair.
class help_format : public CLI::Formatter {
 public:
  std::string make_option_opts(const CLI::Option* opt) const override {
    std::string text = CLI::Formatter::make_option_opts(opt);
    // The exclusions come last in the line.
    if (!opt->get_excludes().empty()) text.resize(std::min(text.size(), text.rfind(" " + get_label("Excludes") + ":")));
    return text;
  }
};

}  // namespace

parsed_command parse_command_line(int argc, const char* const* argv) {
  parsed_command result;
  cli_options& o = result.options;
  const auto refuse = [&](std::string text) {
    result.action = cli_action::error;
    result.text = std::move(text);
    return result;
  };

  CLI::App app{"Lucas-Lehmer test of Mersenne numbers 2^p - 1.", "mersenne"};
  app.footer(help_footer());
  app.formatter(std::make_shared<help_format>());
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
                     "exponents tested side by side (default: the split --benchmark --throughput saved, for several "
                     "exponents, or a work file's tests, given neither --jobs nor --threads; else the usable cores divided by --threads, "
                     "at least 1; "
                     "at most " +
                         std::to_string(kJobsPerCore) +
                         " per core: more only share the same cores and multiply the memory)")
          ->check(CLI::PositiveNumber);
  CLI::Option* threads_option =
      app.add_option("--threads", o.threads,
                     "threads inside one test (fast engine; default: all usable cores for a single exponent, "
                     "with --jobs 1 and with --benchmark, else 1 or the split --benchmark --throughput saved "
                     "(see --jobs); at most " +
                         std::to_string(kThreadsPerCore) + " per core: more only wait for each other)")
          ->check(CLI::PositiveNumber);
  std::string plans;
  app.add_option("--plans", plans,
                 "FFTW plans: measure (slow to make once, faster to run) or estimate (default: measure, or "
                 "$MERSENNE_PLANS)")
      ->check(CLI::IsMember({"measure", "estimate"}));
  bool benchmark = false;
  CLI::Option* benchmark_flag = app.add_flag("--benchmark", benchmark,
               "time the fast engine at the transform lengths given instead of testing exponents, and exit");
  bool bench_list = false;
  app.add_flag("--list", bench_list,
               "with --benchmark: list every transform length, the largest exponent it serves and the iteration "
               "that runs there, timing nothing")
      ->needs(benchmark_flag);
  bool throughput = false;
  app.add_flag("--throughput", throughput,
               "with --benchmark: at each length, every split of the usable cores into workers x threads, each "
               "worker testing its own exponent; iterations per second in all, the best split saved for the "
               "default --jobs and --threads of later runs")
      ->needs(benchmark_flag)
      ->excludes("--list")
      ->excludes(jobs_option)
      ->excludes(threads_option);
  bool self_test = false;
  CLI::Option* self_test_flag = app.add_flag(
      "--self-test", self_test,
      "check the fast engine against residues computed beforehand, on every path this processor has, and exit: "
      "quick (the default: a sample of lengths, about a minute), full (every length), or only the lengths given");
  app.add_flag("--version", version, "print the version and exit");
  bool no_checkpoints = false, list_states = false, forget = false;
  app.add_option("--checkpoint-every", o.checkpoint_every, "seconds between saved states of a test (fractions allowed)")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  app.add_option("--state-dir", o.state_dir,
                 "where states are saved (default: $XDG_STATE_HOME/mersenne, else ~/.local/state/mersenne)");
  app.add_flag("--no-checkpoints", no_checkpoints,
               "save nothing and resume nothing (the checks still roll back in memory)");
  CLI::Option* states_flag = app.add_flag("--states", list_states, "list the saved states (exponent, test, iteration, age) and exit");
  CLI::Option* forget_flag = app.add_flag("--forget", forget, "remove the saved states of the exponents given, and exit");
  // Read as text: a number too large for the shift is refused here rather than wrapped to another.
  std::string shift;
  app.add_option("--shift", shift, "starting shift of the residue (taken mod p; default: random)")->type_name("INT");
  app.add_option("--iterations", o.iterations,
                 "run only the first K iterations and report the Res64 of s(K) (its state is kept)")
      ->check(CLI::PositiveNumber);
  std::string test = "ll";
  app.add_option("--test", test,
                 "ll: the Lucas-Lehmer test; prp: the base-3 probable-prime test with the Gerbicz check; tf: trial "
                 "factoring only; pm1: P-1 factoring only (every factor its bounds reach); ecm: ECM curves only "
                 "(small p, with --curves and --ecm-b1)")
      ->check(CLI::IsMember({"ll", "prp", "tf", "pm1", "ecm"}))
      ->capture_default_str();
  CLI::Option* pm1_flag = app.add_flag(
      "--pm1", o.pm1,
      "P-1 factoring before every test whose odds pay for it (bounds chosen by the odds; stops at its first factor)");
  std::string pm1_bounds;
  CLI::Option* pm1_bounds_option =
      app.add_option("--pm1-bounds", pm1_bounds,
                     "P-1 with these bounds B1[,B2] (B2 left out: stage 1 only), before every test, or with "
                     "--test=pm1 alone")
          ->type_name("B1[,B2]");
  CLI::Option* tests_saved_option =
      app.add_option("--tests-saved", o.tests_saved,
                     "the tests a factor saves, for the odds of P-1: 2 for a first test, 1 for a double-check")
          ->check(CLI::Range(1, 2))
          ->capture_default_str();
  CLI::Option* curves_option =
      app.add_option("--curves", o.ecm_curves, "with --test=ecm: the number of curves")->check(CLI::PositiveNumber);
  std::string ecm_b1;
  CLI::Option* ecm_b1_option = app.add_option("--ecm-b1", ecm_b1, "with --test=ecm: the stage 1 bound of each curve")
                                   ->type_name("B1");
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
  CLI::Option* worktodo_option = app.add_option(
      "--worktodo", o.worktodo,
      "take the assignments of the work FILE (Test=, DoubleCheck=, PRP=, PRPDC=, Factor=, Pminus1=, Pfactor= or bare "
      "exponent lines) "
      "in order instead of exponents; each finished one's line is taken out once its result line is in "
      "--results-json; lines added to worktodo.add beside FILE are merged in");
  app.add_option("--worker", o.worker, "with --worktodo: only the lines of its section [Worker #N]")
      ->check(CLI::PositiveNumber)
      ->needs(worktodo_option);
  CLI::Option* results_json_option = app.add_option(
      "--results-json", o.results_json,
      "append each finished assignment's result line in the search server's JSON fields to FILE (default with "
      "--worktodo: results.json.txt)");
  app.add_option("--from", o.from_file, "read more exponents from FILE, one p or range a line ('-': standard input)");
  std::string shard;
  app.add_option("--shard", shard, "I/N: only every N-th exponent of the list, starting with the I-th");
  bool summary = false;
  CLI::Option* summary_flag = app.add_flag("--summary", summary,
               "count the primes, factored, tested and no-verdict exponents of the results files given, and exit");
  bool verify = false;
  CLI::Option* verify_flag = app.add_flag("--verify", verify, "check the proof files given instead of testing exponents (exit status 5: one is invalid)");
  app.add_option("--inject-fault", o.inject_faults,
                 "for testing: damage the residue once after iteration ITER (may be repeated; with --test=prp an "
                 "iteration given k times is damaged on each of its first k passes)")
      ->allow_extra_args(false)
      ->take_all()
      ->check(CLI::PositiveNumber);
  // A work file says which test each line gets, whole, and where its results go.
  for (const char* name : {"--from", "--shard", "--iterations", "--results", "--test"})
    worktodo_option->excludes(app.get_option(name));
  for (CLI::Option* command : {summary_flag, verify_flag, states_flag, forget_flag, benchmark_flag, self_test_flag}) {
    worktodo_option->excludes(command);
    results_json_option->excludes(command);
  }
  // The commands other than the tests exclude one another.
  summary_flag->excludes(verify_flag)->excludes(states_flag)->excludes(forget_flag)->excludes(benchmark_flag);
  verify_flag->excludes(states_flag)->excludes(forget_flag)->excludes(benchmark_flag);
  states_flag->excludes(forget_flag)->excludes(benchmark_flag);
  forget_flag->excludes(benchmark_flag);
  for (CLI::Option* command : {summary_flag, verify_flag, states_flag, forget_flag, benchmark_flag})
    self_test_flag->excludes(command);

  // "--jobs= 7" would take the next word as the value: an option written
  // with '=' must carry its value in the same word.
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "--") break;
    if (a.size() > 3 && a.substr(0, 2) == "--" && a.back() == '=' && a.find('=') == a.size() - 1)
      return refuse("option '" + std::string(a) + "' has an empty value");
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
  o.pm1_only = test == "pm1";
  o.ecm_only = test == "ecm";
  // A NaN passes the positive-number check (every comparison with it is false).
  if (!std::isfinite(o.checkpoint_every) || !(o.checkpoint_every > 0))
    return refuse("--checkpoint-every takes a positive number of seconds");
  for (const auto& [option, value] : {std::pair{"--results", &o.results_file}, {"--from", &o.from_file},
                                      {"--shard", &shard}, {"--state-dir", &o.state_dir}, {"--proof-dir", &o.proof_dir},
                                      {"--worktodo", &o.worktodo}, {"--results-json", &o.results_json}})
    if (app.count(option) > 0 && value->empty()) return refuse(std::string("option '") + option + "' has an empty value");
  if (app.count("--shift") > 0) {
    uint64_t v = 0;
    const auto [end, ec] = std::from_chars(shift.data(), shift.data() + shift.size(), v);
    if (ec != std::errc() || end != shift.data() + shift.size() || shift.empty() ||
        v > static_cast<uint64_t>(INT64_MAX))
      return refuse("--shift takes a whole number from 0 to " + std::to_string(INT64_MAX) + ", not '" + shift + "'");
    o.shift = static_cast<int64_t>(v);
  }
  if (std::string why; pm1_bounds_option->count() > 0 && !parse_pm1_bounds(pm1_bounds, &o.pm1_b1, &o.pm1_b2, &why))
    return refuse(why);
  if (std::string why; ecm_b1_option->count() > 0 && !parse_bound(ecm_b1, "--ecm-b1", "B1", &o.ecm_b1, &why))
    return refuse(why);
  // Fixed bounds ask for P-1 before every test, as --pm1 does.
  if (pm1_bounds_option->count() > 0 && !o.pm1_only) o.pm1 = true;
  if ((o.pm1_only || o.ecm_only) && o.iterations > 0)
    return refuse("--iterations applies to the Lucas-Lehmer test only");
  if (o.factor_only && (pm1_flag->count() > 0 || pm1_bounds_option->count() > 0))
    return refuse("--pm1 and --pm1-bounds run before a test; --test=tf runs none");
  if (o.ecm_only && (pm1_flag->count() > 0 || pm1_bounds_option->count() > 0 || tests_saved_option->count() > 0))
    return refuse("--pm1, --pm1-bounds and --tests-saved do not go with --test=ecm");
  if (o.pm1_only && pm1_flag->count() > 0) return refuse("--pm1 runs P-1 before a test; --test=pm1 runs P-1 alone");
  if (o.ecm_only && (curves_option->count() == 0 || ecm_b1_option->count() == 0))
    return refuse("--test=ecm needs --curves N and --ecm-b1 B1");
  if (!o.ecm_only && (curves_option->count() > 0 || ecm_b1_option->count() > 0))
    return refuse("--curves and --ecm-b1 need --test=ecm");
  if (summary) {
    if (tokens.empty()) return refuse("--summary needs at least one results file");
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
  if (proof_option->count() > 0 && !o.prp && o.worktodo.empty())
    return refuse("--proof needs --test=prp (a Lucas-Lehmer test has no proof)");
  if (o.prp && o.iterations > 0)
    return refuse("--iterations applies to the Lucas-Lehmer test only");
  if (verify) {
    if (tokens.empty()) return refuse("--verify needs at least one proof file");
    o.verify_files = tokens;
    if (threads_option->count() == 0) o.threads = usable_cores();
    o.threads = std::min(o.threads, kThreadsPerCore * usable_cores());
    result.action = cli_action::verify;
    return result;
  }
  o.checkpoints = !no_checkpoints;
  if (!plans.empty()) o.plans = plans == "measure" ? plan_choice::measure : plan_choice::estimate;
  if (list_states && !tokens.empty()) return refuse("--states takes no exponents, no --forget and no --benchmark");
  if (list_states) {
    result.action = cli_action::states;
    return result;
  }
  const int cores = usable_cores();
  const int jobs = jobs_option->count() > 0 ? o.jobs : 0, threads = threads_option->count() > 0 ? o.threads : 0;
  o.cores_by_default = jobs == 0 && threads == 0;
  // The caps' warnings come before any refusal of the words that follow.
  result.warnings = share_cores(cores, jobs, threads, false).warnings;
  const auto share = [&](int jobs_asked, bool one_exponent) {
    const core_share c = share_cores(cores, jobs_asked, threads, one_exponent);
    o.jobs = c.jobs;
    o.threads = c.threads;
  };
  if (self_test) {
    // An optional mode, then the lengths to check (each one of the table's, as written).
    size_t first = 0;
    if (!tokens.empty() && (tokens[0] == "quick" || tokens[0] == "full")) {
      o.self_test_full = tokens[0] == "full";
      first = 1;
    }
    for (size_t i = first; i < tokens.size(); ++i) {
      bench_length length;
      std::string why;
      if (!parse_bench_length(tokens[i], &length, &why))
        return refuse("--self-test takes quick, full or transform lengths: " + why);
      if (length.asked != length.n)
        return refuse("--self-test: " + tokens[i] + " is not a length of the fast engine (the next one is " +
                      std::to_string(length.n) + ")");
      o.self_test_lengths.push_back(length.n);
    }
    result.action = cli_action::self_test;
    return result;
  }
  if (benchmark && bench_list) {
    if (!tokens.empty()) return refuse("--benchmark --list takes no lengths: it lists every one");
    o.bench_list = true;
    result.action = cli_action::benchmark;
    return result;
  }
  if (benchmark) {
    for (const std::string& t : tokens) {
      bench_length length;
      std::string why;
      if (!parse_bench_length(t, &length, &why))
        return refuse(why);
      o.bench_lengths.push_back(length);
    }
    o.bench_throughput = throughput;
    share(jobs > 0 ? jobs : 1, true);  // the benchmark times one stepper at a time
    result.action = cli_action::benchmark;
    return result;
  }
  if (!o.worktodo.empty()) {
    if (!tokens.empty()) return refuse("--worktodo takes its exponents from the work file, not from the command line");
    if (o.results_json.empty()) o.results_json = "results.json.txt";
    share(jobs, false);
    result.action = cli_action::run;
    return result;
  }
  if (tokens.empty() && o.from_file.empty())
    return refuse("no exponent given");
  for (const std::string& t : tokens) {
    exponent_span span;
    std::string why;
    if (!parse_exponent(t, &span, &why))
      return refuse(why);
    o.exponents.push_back(span);
  }
  // ECM takes the small exponents: a range is refused when its largest prime is beyond them.
  if (o.ecm_only && !forget)
    for (const exponent_span& span : o.exponents) {
      int32_t p = span.last;
      while (p > span.first && p > 2 && smallest_prime_factor(p) != p) --p;
      if (p > 2 && smallest_prime_factor(p) == p && !ecm_applicable(p))
        return refuse("--test=ecm does not take M" + std::to_string(p) +
                      ": ECM runs on small exponents only (P-1 or a test serves larger ones)");
    }
  share(jobs, o.from_file.empty() && o.exponents.size() == 1 && o.exponents[0].first == o.exponents[0].last);
  result.action = forget ? cli_action::forget : cli_action::run;
  return result;
}
