// Long runs from the built program: states saved and resumed across signals
// and kills, the lock, the checks with injected faults, shifts and interim
// residues. Each test has its own state directory.
#include <gtest/gtest.h>
#include <gmp.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <string>

#include "app/exit_codes.h"
#include "work/report.h"
#include "arith/residue.h"
#include "formats/state.h"
#include "support/test_support.h"

namespace {

using testing_support::run_shell;

struct state_home : testing_support::temp_dir {
  // command with XDG_STATE_HOME set to this folder.
  std::string run(const std::string& command) const { return "export XDG_STATE_HOME=" + path + "; " + command; }
  bool empty() const { return std::filesystem::is_empty(path + "/mersenne"); }
};

// Shell words that wait until a file matching the glob pattern exists (and,
// with newer, is newer than that file), or $pid has ended, or about a
// minute has passed (a guard against a hang, never the expected way out).
std::string wait_for(const std::string& pattern, const std::string& newer = "") {
  const std::string test = newer.empty() ? "ls " + pattern + " >/dev/null 2>&1"
                                         : "[ -n \"$(find " + pattern + " -newer " + newer + " 2>/dev/null)\" ]";
  return "n=0; until " + test + " || ! kill -0 $pid 2>/dev/null || [ $n = 6000 ]; do sleep 0.01; n=$((n + 1)); done; ";
}

nlohmann::json last_json(const std::string& out) {
  const auto lines = testing_support::lines_of(out);
  return lines.empty() ? nlohmann::json() : nlohmann::json::parse(lines.back());
}

// SIGTERM: status 143, no result line, the state saved; the same command
// resumes from it and finishes, and the finished exponent leaves no files.
TEST(Resume, SigtermSavesAndTheSameCommandResumes) {
  const state_home h;
  // The signal goes once the test has saved a state, so that the resumed run
  // starts past iteration 0 however slowly the machine runs it.
  auto r = run_shell(h.run("$M --jobs 1 --checkpoint-every 0.05 132049 & pid=$!; " +
                           wait_for("$XDG_STATE_HOME/mersenne/M132049.state") + "kill -TERM $pid; wait $pid"));
  ASSERT_TRUE(r.status == 128 + 15 && r.out.empty()) << r.out << r.err;
  EXPECT_NE(r.err.find("stopped by SIGTERM; saved M132049 at iteration"), std::string::npos) << r.err;
  r = run_shell(h.run("$M --json --jobs 1 132049"));
  const auto j = last_json(r.out);
  EXPECT_TRUE(r.status == kExitOk && j["prime"] == true && j["resumed_from"].get<int64_t>() > 0) << j;
  EXPECT_TRUE(h.empty());
}

// A state records how deep the exponent was factored before its test: a
// resume with that depth or less does not factor again, a deeper one goes on
// from it. The states here are made by hand for M30323, whose factor 60647
// lies below 2^16: skipped factoring shows as a test resumed at iteration 100
// instead of that factor.
TEST(Resume, StateDepthSkipsTheFactoringItRecords) {
  mpz_value s, want;
  testing_support::lucas_lehmer_after(s, 30323, 100);
  testing_support::lucas_lehmer_residue(want, 30323);
  for (const int recorded : {20, 16}) {
    const state_home h;
    std::string why;
    const auto dir = state_dir::open(h.path + "/mersenne", &why);
    run_state st;
    st.p = 30323, st.iteration = 100, st.tf_bits = recorded;
    st.residue.assign((30323 + 7) / 8, 0);
    mpz_export(st.residue.data(), nullptr, -1, 1, 0, 0, s);
    ASSERT_TRUE(dir->save(st, &why)) << why;
    const auto r = run_shell(h.run("$M --json --tf-bits 20 30323"));
    const auto j = last_json(r.out);
    EXPECT_TRUE(r.status == kExitOk && j["resumed_from"] == 100 && j["tf_bits"] == 20 && j["res64"] == res64_hex(low64(want))) << j;
    EXPECT_TRUE(h.empty());
  }
}

// Factoring stopped by SIGINT keeps its progress (the level reached and the
// classes done in the next) beside the lock, and a rerun goes on from it: a
// progress file made by hand that marks the class of M30323's factor done
// makes the search pass it by; a finished search leaves no files.
TEST(Resume, InterruptedFactoringKeepsItsProgress) {
  const state_home h;
  const std::string dir = h.path + "/mersenne";
  auto r = run_shell(h.run("$M --test=tf --tf-bits 70 --checkpoint-every 0.01 1000003 & pid=$!; " +
                           wait_for("$XDG_STATE_HOME/mersenne/M1000003.factoring") + "kill -INT $pid; wait $pid"));
  ASSERT_TRUE(r.status == 128 + 2 && r.out.empty()) << r.out << r.err;
  EXPECT_NE(r.err.find("stopped by SIGINT; saved M1000003's trial factoring"), std::string::npos) << r.err;
  std::string why;
  const auto states = state_dir::open(dir, &why);
  factoring_state f;
  ASSERT_TRUE(states->load_factoring(1000003, &f, [](const std::string& w) { ADD_FAILURE() << w; }));
  EXPECT_TRUE(f.level > 0 && f.level < 70 && std::filesystem::exists(dir + "/M1000003.lock")) << f.level;
  r = run_shell(h.run("$M --test=tf --tf-bits " + std::to_string(f.level) + " 1000003"));
  EXPECT_EQ(r.out, "M1000003: no factor below 2^" + std::to_string(f.level) + "\n") << r.err;
  EXPECT_TRUE(h.empty());
  // 60647 = 2 * 30323 + 1: k = 1, the class 1 of level 15.
  factoring_state g;
  g.p = 30323, g.level = 15;
  g.done.set(1);
  ASSERT_TRUE(states->save_factoring(g, &why)) << why;
  r = run_shell(h.run("$M --test=tf --tf-bits 20 30323"));
  EXPECT_EQ(r.out, "M30323: no factor below 2^20\n") << r.err;
  EXPECT_TRUE(h.empty());
}

TEST(Resume, BusyExponentIsRefused) {
  const state_home h;
  const auto r = run_shell(h.run(
      "$M --jobs 1 132049 >/dev/null 2>&1 & pid=$!; " + wait_for("$XDG_STATE_HOME/mersenne/M132049.lock") +
      "$M 132049; status=$?; kill -TERM $pid; wait $pid; exit $status"));
  EXPECT_TRUE(r.status == kExitNoVerdict && r.out.rfind("M132049: no verdict", 0) == 0 &&
              r.out.find("busy: another mersenne process") != std::string::npos) << r.out << r.err;
}

// A damaged residue after any iteration, the last one included, is caught by
// the check, rolled back and recomputed, by the fast and the exact engine.
TEST(Resume, InjectedFaultsAreCaughtAndRecomputed) {
  const state_home h;
  for (const char* e : {"fast", "exact"})
    for (const char* faults : {"1", "50", "4421", "50 --inject-fault 3000 --inject-fault 4420"}) {
      const auto r = run_shell(h.run(std::string("$M --json --engine=") + e + " --inject-fault " + faults + " 4423"));
      const auto j = last_json(r.out);
      EXPECT_TRUE(r.status == kExitOk && j["prime"] == true && j["errors"]["jacobi"].get<int>() >= 1) << e << " " << faults << ": " << j;
    }
}

// The same Res64 whatever the starting shift, on every engine; an interim
// residue is the unshifted s(K); K past the end gives the whole test.
TEST(Resume, ShiftsAndInterimResidues) {
  const state_home h;
  std::string want;
  for (const char* e : {"exact", "fast", "reference"})
    for (const char* shift : {"0", "300", "606", "1000000"}) {
      const auto r = run_shell(h.run(std::string("$M --json --engine=") + e + " --shift " + shift + " 607 601"));
      const auto j = last_json(r.out);
      if (want.empty()) want = j["res64"];
      EXPECT_TRUE(r.status == kExitOk && j["res64"] == want) << e << " shift " << shift << ": " << r.out << r.err;
    }
  mpz_value s;
  testing_support::lucas_lehmer_after(s, 218453, 40);
  const auto r = run_shell(h.run("$M --json --iterations 40 218453 31"));
  const auto lines = testing_support::lines_of(r.out);
  ASSERT_TRUE(r.status == kExitOk && lines.size() == 2) << r.out << r.err;
  const auto j = nlohmann::json::parse(lines[0]), k = nlohmann::json::parse(lines[1]);
  EXPECT_TRUE(j["partial"] == 40 && j["prime"].is_null() && j["verdict"] == false && j["res64"] == res64_hex(low64(s))) << j;
  EXPECT_TRUE(k["prime"] == true && !k.contains("partial")) << k;
  // From iteration 18 on every symbol is 0 for this p: a factor divides s - 2.
  // Resuming checks the saved s(40): sound, and the factor is reported.
  const auto later = last_json(run_shell(h.run("$M --json --iterations 41 218453")).out);
  EXPECT_TRUE(later["resumed_from"] == 40 && later["factor"] == "1310719") << later;
}

TEST(Resume, UnusableStateDirWarnsOnceAndGoesOn) {
  const auto r = run_shell("$M --state-dir /dev/null/states 127 131");
  const size_t at = r.err.find("going on without checkpoints");
  EXPECT_TRUE(r.status == kExitOk && at != std::string::npos && at == r.err.rfind("going on without checkpoints")) << r.err;
}

// Killed outright several times, each time after a random number (1 to 3)
// of states saved anew: every run resumes, and the last one gives each
// exponent its right verdict, going on from where the killed ones got to.
TEST(LongResume, SigkillAfterSavedStatesLosesNothing) {
  const state_home h;
  std::mt19937_64 rng(testing_support::test_seed());
  const std::string command = "$M --json --jobs 2 --checkpoint-every 0.05 216091 86249 132049";
  const std::string states = "$XDG_STATE_HOME/mersenne/*.state", mark = h.path + "/mark";
  for (int k = 0; k < 6; ++k) {
    std::string waits;
    for (uint64_t saves = 1 + rng() % 3; saves > 0; --saves) waits += "touch " + mark + "; " + wait_for(states, mark);
    const auto r = run_shell(h.run(command + " >/dev/null 2>&1 & pid=$!; " + waits + "kill -KILL $pid; wait $pid"));
    ASSERT_EQ(r.status, 128 + 9) << "round " << k << " ended before it was killed: " << r.err;
  }
  const auto r = run_shell(h.run(command));
  const auto lines = testing_support::lines_of(r.out);
  ASSERT_TRUE(r.status == kExitOk && lines.size() == 3) << r.out << r.err;
  const char* want[] = {"0000000000000000", "422C56C4F9E3F2E3", "0000000000000000"};
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(nlohmann::json::parse(lines[i])["res64"], want[i]) << lines[i];
  // The longest test cannot have finished in the killed runs.
  EXPECT_GT(nlohmann::json::parse(lines[0])["resumed_from"].get<int64_t>(), 0) << lines[0];
  EXPECT_TRUE(h.empty());
}

// A probable-prime run with a proof, killed outright and restarted: the
// same residue and a proof that verifies, and no residues left behind.
TEST(LongResume, KilledProbablePrimeRunResumesToAValidProof) {
  const state_home h;
  const std::string command = "$M --json --jobs 1 --test=prp --proof 6 --proof-dir " + h.path +
                              " --checkpoint-every 0.05 86243";
  auto r = run_shell(h.run(command + " >/dev/null 2>&1 & pid=$!; " +
                           wait_for("$XDG_STATE_HOME/mersenne/M86243.prp.state") + "kill -KILL $pid; wait $pid"));
  ASSERT_EQ(r.status, 128 + 9) << "the run ended before it was killed: " << r.err;
  r = run_shell(h.run(command));
  const auto j = last_json(r.out);
  EXPECT_TRUE(r.status == kExitOk && j["res64"] == "0000000000000001" && j["resumed_from"].get<int64_t>() > 0) << r.out;
  r = run_shell(h.run("$M --verify " + h.path + "/M86243.power6.proof"));
  EXPECT_TRUE(r.status == kExitOk && r.out.rfind("M86243: proof valid, probable prime", 0) == 0) << r.out;
  EXPECT_TRUE(h.empty());
}

// P-1's newest saved state of p in home ("stage" 0 when there is none).
run_state newest_pm1_state(const state_home& h, int32_t p) {
  std::string why;
  const auto states = state_dir::open(h.path + "/mersenne", &why)->load(p, [](const std::string&) {}, test_kind::pm1);
  return states.empty() ? run_state{} : states.front();
}

// M1217 = 1045741327 * ..., k = 3 * 7 * 41 * 499: stage 1 to 100 misses it,
// stage 2 reaches it; B2 = 10^8 makes stage 2 last long enough to be killed
// in it several times, each after a random number (1 to 3) of states saved
// anew. Each run goes on from the one before, and the last reports the
// factor once, over the whole range; no run says "no factor".
TEST(LongResume, KilledStageTwoFindsItsFactorOverTheWholeRange) {
  const state_home h;
  std::mt19937_64 rng(testing_support::test_seed());
  const std::string command = "$M --json --test=pm1 --pm1-bounds 100,100000000 --checkpoint-every 0.05 1217 >>" +
                              h.path + "/out";
  const std::string state = "$XDG_STATE_HOME/mersenne/M1217.pm1.state", mark = h.path + "/mark";
  uint64_t done = 0;
  for (int k = 0; k < 5; ++k) {
    std::string waits;
    for (uint64_t saves = 1 + rng() % 3; saves > 0; --saves) waits += "touch " + mark + "; " + wait_for(state, mark);
    const auto r = run_shell(h.run(command + " 2>/dev/null & pid=$!; " + waits + "kill -KILL $pid; wait $pid"));
    ASSERT_EQ(r.status, 128 + 9) << "round " << k << " ended before it was killed: " << r.err;
    const run_state s = newest_pm1_state(h, 1217);
    // Each round saves anew past where the one before it got to.
    EXPECT_TRUE(s.pm1_stage == 2 && (s.pm1_done > done || k == 0)) << "round " << k << ": " << s.pm1_done;
    done = s.pm1_done;
  }
  const auto r = run_shell(h.run(command + "; cat " + h.path + "/out"));
  const auto lines = testing_support::lines_of(r.out);
  ASSERT_TRUE(r.status == kExitOk && lines.size() == 1) << r.out << r.err;
  const auto j = nlohmann::json::parse(lines[0]);
  EXPECT_TRUE(j["factors"] == nlohmann::json::array({"1045741327"}) && j["B1"] == 100 && j["B2"] == 100000000) << j;
  EXPECT_TRUE(h.empty());
}

// Killed as soon as stage 1's factor is saved (stage 2 has begun): the
// state holds the factor, and the rerun reports it.
TEST(LongResume, FactorOfStageOneSurvivesAKill) {
  const state_home h;
  const std::string command = "$M --test=pm1 --pm1-bounds 500,100000000 1217";
  auto r = run_shell(h.run(command + " & pid=$!; " + wait_for("$XDG_STATE_HOME/mersenne/M1217.pm1.state") +
                           "kill -KILL $pid; wait $pid"));
  ASSERT_TRUE(r.status == 128 + 9 && r.out.empty()) << r.out << r.err;
  const run_state s = newest_pm1_state(h, 1217);
  EXPECT_TRUE(s.pm1_stage == 2 && s.pm1_done == 0 && s.pm1_factors == "1045741327") << s.pm1_stage << " " << s.pm1_factors;
  r = run_shell(h.run(command));
  EXPECT_EQ(r.out, "M1217 is not prime: factor 1045741327 (P-1, B1=500, B2=100000000)\n") << r.err;
  EXPECT_TRUE(h.empty());
}

}  // namespace

// A work file killed with SIGKILL each time a result line lands (the
// moment between the line and the assignment's removal) and run again:
// every assignment's result once, with GMP's Res64, and only the lines it
// could not do left in the file.
TEST(LongResume, KilledWorkFileGivesEachResultOnce) {
  state_home home;
  const std::vector<int32_t> ll = {10007, 10009, 10037, 10039, 10061};
  std::string work = "# kept\n[Worker #1]\nPRP=N/A,1,2,2207,-1,3,0\nFactor=47,1,20\nnot a line\n"
                     "PRPDC=0123456789ABCDEF0123456789ABCDEF,1,2,2213,-1,3,0\nTest=FEDCBA9876543210FEDCBA9876543210,10067,1,0\n10069\n";
  for (const int32_t p : ll) work += "DoubleCheck=N/A," + std::to_string(p) + ",1,0\n";
  ASSERT_TRUE(testing_support::write_file(home.path + "/w.txt", work));
  const auto r = run_shell(home.run(
      "cd " + home.path + "; lines() { cat results.json.txt 2>/dev/null | wc -l; }; "
      "for i in $(seq 12); do $M --worktodo w.txt --checkpoint-every 0.02 --engine fast >/dev/null 2>&1 & pid=$!; "
      "n=$(lines); while kill -0 $pid 2>/dev/null && [ $(lines) = $n ]; do sleep 0.005; done; "
      "kill -9 $pid 2>/dev/null; wait $pid; done; $M --worktodo w.txt --engine fast >/dev/null; "
      "cat w.txt; echo ==; cat results.json.txt"));
  ASSERT_EQ(r.status, 0) << r.err;
  const size_t split = r.out.find("==\n");
  ASSERT_NE(split, std::string::npos);
  EXPECT_EQ(r.out.substr(0, split), "# kept\n[Worker #1]\nnot a line\n");
  std::map<int32_t, int> seen;
  for (const std::string& line : testing_support::lines_of(r.out.substr(split + 3))) {
    const nlohmann::json j = nlohmann::json::parse(line);
    const int32_t p = j["exponent"];
    ++seen[p];
    EXPECT_EQ(j.contains("aid"), p == 2213 || p == 10067) << line;
    mpz_value x;
    if (j["worktype"] == "LL") {
      testing_support::lucas_lehmer_residue(x, static_cast<unsigned>(p));
      EXPECT_EQ(j["res64"], res64_hex(low64(x))) << line;
      EXPECT_TRUE(p == 10067 || p == 10069 || j["shift-count"] != 0) << line;  // a double-check's shift
    } else if (j["worktype"] == "PRP-3") {
      mpz_value n, e;
      mpz_ui_pow_ui(n, 2, static_cast<unsigned long>(p));
      mpz_sub_ui(n, n, 1);
      mpz_sub_ui(e, n, 1);
      mpz_set_ui(x, 3);
      mpz_powm(x, x, e, n);
      EXPECT_EQ(j["res64"], res64_hex(low64(x))) << line;
    } else {
      EXPECT_EQ(j["factors"][0], "2351") << line;
    }
  }
  EXPECT_EQ(seen.size(), ll.size() + 5);
  for (const auto& [p, count] : seen) EXPECT_EQ(count, 1) << p;
}
