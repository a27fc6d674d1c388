// Work files and the search server's result lines: every line kind read,
// a finished line taken out with every other byte kept, lines added by
// others merged, a result recorded before a crash never done again, one
// process per file, and the lines written field for field.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <tuple>

#include "support/test_support.h"
#include "work/plan.h"
#include "work/work_file.h"

namespace {

using testing_support::read_file;
using testing_support::temp_dir;
using testing_support::write_file;

TEST(WorkFile, EveryLineKindIsRead) {
  const std::string aid = "0123456789abcdef0123456789ABCDEF";
  struct row {
    std::string line;
    work_line::kind kind;
    work_type type = work_type::ll;
    int32_t p = 0;
    int factored_to = 0, factor_to = 0;
    bool has_aid = false, refused = false;
  } rows[] = {
      {"Test=" + aid + ",82589933,77,1", work_line::kind::task, work_type::ll, 82589933, 77, 0, true, false},
      {"DoubleCheck=N/A,1279,60,0\r", work_line::kind::task, work_type::double_check, 1279, 60, 0, false, false},
      {"PRP=1,2,2203,-1", work_line::kind::task, work_type::prp, 2203, 0, 0, false, false},
      {"PRPDC=" + aid + ",1,2,2203,-1,70,1.3,3,1", work_line::kind::task, work_type::prp_dc, 2203, 70, 0, true, false},
      {"PRP=n/a,1,2,2203,-1,70,2,5,1", work_line::kind::task, work_type::prp, 2203, 70, 0, false, true},
      {"PRP=1,2,2203,-1,70,2,3,1,\"1234,5678\"", work_line::kind::task, work_type::prp, 2203, 70, 0, false, true},
      {"Factor=N/A,1000003,1,40", work_line::kind::task, work_type::factor, 1000003, 1, 40, false, false},
      {"Factor=1000003,90,100", work_line::kind::task, work_type::factor, 1000003, 90, 100, false, true},
      {"Pminus1=1,2,100003,-1,1000,100000", work_line::kind::task, work_type::pminus1, 100003, 0, 0, false, false},
      {"  9689 ", work_line::kind::task, work_type::ll, 9689, 0, 0, false, false},
      {"[Worker #3]", work_line::kind::section, work_type::ll, 0, 0, 0, false, false},
      {"# Test=1279", work_line::kind::other, work_type::ll, 0, 0, 0, false, false},
      {"Test=1279,1,0,9", work_line::kind::bad}, {"PRP=1,3,2203,-1", work_line::kind::bad},
      {"Factor=1279,40,30", work_line::kind::bad}, {"Frobnicate=1279", work_line::kind::bad},
      {"PRP=1,2,2203,-1,\"7", work_line::kind::bad}, {"Test=99999999999", work_line::kind::bad},
      {"[Worker 2]", work_line::kind::bad}, {"hello", work_line::kind::bad},
  };
  for (const row& r : rows) {
    const work_line w = parse_work_line(r.line);
    ASSERT_EQ(w.what, r.kind) << r.line << ": " << w.why;
    EXPECT_EQ(w.text, r.line);
    EXPECT_EQ(w.why.empty(), r.kind != work_line::kind::bad) << r.line;
    EXPECT_EQ(w.section, r.kind == work_line::kind::section ? 3 : 0) << r.line;
    if (r.kind != work_line::kind::task) continue;
    EXPECT_TRUE(w.task.type == r.type && w.task.p == r.p && w.task.factored_to == r.factored_to &&
                w.task.factor_to == r.factor_to)
        << r.line;
    EXPECT_EQ(w.task.aid, r.has_aid ? "0123456789ABCDEF0123456789ABCDEF" : "") << r.line;
    EXPECT_EQ(!w.task.refusal.empty(), r.refused) << r.line;
  }
  // Sections number the lines after them; the removal keeps every other byte.
  const std::string text = "# a\n9689\n[Worker #2]\n9689\n  \nlast";
  const auto lines = parse_work_file(text);
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_TRUE(lines[1].section == 0 && lines[3].section == 2 && lines[5].line_no == 6);
  EXPECT_EQ(remove_work_line(text, "9689"), "# a\n[Worker #2]\n9689\n  \nlast");
  EXPECT_EQ(remove_work_line(text, "last"), "# a\n9689\n[Worker #2]\n9689\n  \n");
  EXPECT_EQ(remove_work_line(text, "968"), text);
}

// P-1 lines: the bounds, depth and tests saved each form gives, and every
// way such a line is refused (kept, with the reason) or not read at all.
TEST(WorkFile, PMinus1LinesGiveTheirBoundsOrTheReason) {
  const std::string aid = "0123456789ABCDEF0123456789ABCDEF";
  struct row {
    std::string line;
    uint64_t b1, b2, b2_start;
    int factored_to, tests_saved;
  } good[] = {
      {"Pfactor=" + aid + ",1,2,100000007,-1,76,2", 0, 0, 0, 76, 2},
      {"Pfactor=N/A,1,2,100000007,-1,76,1.3", 0, 0, 0, 76, 1},
      {"Pfactor=1,2,100000007,-1,76,0.4", 0, 0, 0, 76, 1},
      {"Pminus1=1,2,100003,-1,1000,100000", 1000, 100000, 0, 0, 0},
      {"Pminus1=1,2,100003,-1,1000,0", 1000, 1000, 0, 0, 0},          // B2 0: stage 1 alone
      {"Pminus1=1,2,100003,-1,1000,500", 1000, 1000, 0, 0, 0},        // B2 below B1: the same
      {"Pminus1=1,2,100003,-1,1000,100000,68", 1000, 100000, 0, 68, 0},
      {"Pminus1=1,2,100003,-1,1000,100000,50000", 1000, 100000, 50000, 0, 0},
      {"Pminus1=1,2,100003,-1,1000,100000,68,50000", 1000, 100000, 50000, 68, 0},
      {"Pminus1=1,2,100003,-1,1000,100000,68,900", 1000, 100000, 0, 68, 0},  // from below B1: from B1
      {"Pminus1=1,2,100003,-1,1000,100000,68,\"\"", 1000, 100000, 0, 68, 0},
  };
  for (const row& r : good) {
    const work_line w = parse_work_line(r.line);
    ASSERT_EQ(w.what, work_line::kind::task) << r.line << ": " << w.why;
    const assignment& a = w.task;
    EXPECT_TRUE(a.refusal.empty() && (a.p == 100003 || a.p == 100000007) && a.b1 == r.b1 && a.b2 == r.b2 &&
                a.b2_start == r.b2_start && a.factored_to == r.factored_to && a.tests_saved == r.tests_saved)
        << r.line << ": " << a.refusal << " B1=" << a.b1 << " B2=" << a.b2 << " start=" << a.b2_start;
    EXPECT_EQ(a.aid, r.line.find(aid) != std::string::npos ? aid : "") << r.line;
    EXPECT_STREQ(work_type_name(a.type), "P-1");
  }
  const std::pair<std::string, std::string> refused[] = {
      {"Pminus1=1,2,100003,-1,1000,100000,68,\"200007\"", "known factors"},
      {"Pminus1=1,3,100003,-1,1000,100000", "only Mersenne numbers"},
      {"Pfactor=2,2,100003,1,70,2", "only Mersenne numbers"},
      {"Pfactor=1,2,100003,-1,70,0", "tests_saved is 0"},
  };
  for (const auto& [line, why] : refused) {
    const work_line w = parse_work_line(line);
    ASSERT_EQ(w.what, work_line::kind::task) << line << ": " << w.why;
    EXPECT_NE(w.task.refusal.find(why), std::string::npos) << line << ": " << w.task.refusal;
  }
  const std::pair<std::string, std::string> bad[] = {
      {"Pfactor=1,2,100003,-1,70", "expected how_far_factored,tests_saved"},
      {"Pfactor=1,2,100003,-1,70,2,3", "expected how_far_factored,tests_saved"},
      {"Pfactor=1,2,100003,-1,70,two", "tests_saved 'two'"},
      {"Pfactor=1,2,1,-1,70,2", "exponent '1'"},
      {"Pfactor=1,2,99999999999,-1,70,2", "exponent '99999999999'"},
      {"Pfactor=1,2,100003,-1,300,2", "how_far_factored '300'"},
      {"Pminus1=1,2,100003,-1,1000", "expected B1,B2"},
      {"Pminus1=1,2,100003,-1,1000,100000,68,50000,9", "expected B1,B2"},
      {"Pminus1=1,2,100003,-1,1,100000", "B1 '1'"},
      {"Pminus1=1,2,100003,-1,-5,100000", "B1 '-5'"},
      {"Pminus1=1,2,100003,-1,1000,1e6", "B2 '1e6'"},
      {"Pminus1=1,2,100003,-1,1000,100000,500,50000", "how_far_factored '500'"},
      {"Pminus1=1,2,100003,-1,1000,100000,200000", "B2_start 200000 is above B2 100000"},
      {"Pminus1=1,2,100003,-1,1000,100000,\"7", "quote is not closed"},
      {"Pminus1=x,2,100003,-1,1000,100000", "is not a Mersenne number"},
  };
  for (const auto& [line, why] : bad) {
    const work_line w = parse_work_line(line);
    ASSERT_EQ(w.what, work_line::kind::bad) << line;
    EXPECT_NE(w.why.find(why), std::string::npos) << line << ": " << w.why;
  }
}

// A run that recorded a result and died before taking the line out: the
// next run takes it out and does not hand it out again; added lines come in.
TEST(WorkFile, RecordedResultsAreNotDoneAgainAndAddedLinesAreMerged) {
  temp_dir dir;
  const std::string path = dir.path + "/worktodo.txt";
  ASSERT_TRUE(write_file(path, "Test=N/A,1279,1,0\n# keep\nPRP=ABCDEF0123456789ABCDEF0123456789,1,2,2203,-1\nbad line\n"));
  ASSERT_TRUE(write_file(dir.path + "/worktodo.add", "4253"));
  std::string why;
  std::unique_ptr<work_file> f = work_file::open(path, &why);
  ASSERT_NE(f, nullptr) << why;
  EXPECT_EQ(work_file::open(path, &why), nullptr);  // a second process is refused
  EXPECT_NE(why.find("another mersenne process"), std::string::npos) << why;
  EXPECT_EQ(read_file(dir.path + "/worktodo.add"), "");
  search_key done;
  done.worktype = "PRP-3";
  done.exponent = 2203;
  done.aid = "ABCDEF0123456789ABCDEF0123456789";
  std::vector<std::string> warned;
  work_settings base;
  assignment_queue q(*f, base, 0, {done}, [&](const std::string& w) { warned.push_back(w); });
  work_item item;
  int64_t index = 0;
  ASSERT_TRUE(q.next(&item, &index, &why)) << why;
  EXPECT_TRUE(item.task.p == 1279 && index == 0 && !item.settings.prp);
  ASSERT_TRUE(q.next(&item, &index, &why)) << why;
  EXPECT_TRUE(item.task.p == 4253 && index == 1) << item.task.p;
  EXPECT_FALSE(q.next(&item, &index, &why));
  EXPECT_TRUE(why.empty()) << why;
  ASSERT_EQ(warned.size(), 2u);
  EXPECT_NE(warned[0].find("worktodo.txt:4: "), std::string::npos) << warned[0];
  EXPECT_NE(warned[1].find("recorded already"), std::string::npos) << warned[1];
  search_key k;
  k.worktype = "LL";
  k.exponent = 4253;
  ASSERT_TRUE(q.finished(item, k, &why)) << why;
  EXPECT_EQ(read_file(path), "Test=N/A,1279,1,0\n# keep\nbad line\n");
}

// Every sample line reads back with each field of its work type, of the
// type the server takes, and our writer gives the same bytes.
TEST(WorkFile, ServerLinesHaveTheFieldsOfTheirWorkType) {
  const std::string text = read_file(std::string(MERSENNE_FORMATS_SAMPLES) + "/server-results.jsonl");
  const auto lines = testing_support::lines_of(text);
  ASSERT_EQ(lines.size(), 6u);
  // Every field is read with at(): a field missing or of another type throws.
  for (const std::string& line : lines) {
    const nlohmann::json j = nlohmann::json::parse(line);
    const std::string type = j.at("worktype");
    search_result r;
    r.status = j.at("status") == "C" ? "C" : j["status"] == "F" ? "F" : "NF";
    r.exponent = j.at("exponent");
    r.worktype = type == "LL" ? "LL" : type == "PRP-3" ? "PRP-3" : type == "P-1" ? "P-1" : "TF";
    r.program_version = j.at("program").at("version");
    EXPECT_EQ(j["program"].at("name"), "mersenne");
    r.timestamp = j.at("timestamp");
    r.os = j.at("os").at("os");
    r.architecture = j["os"].at("architecture");
    if (j.contains("aid")) r.aid = j["aid"];
    if (j.contains("factors")) r.factors = j["factors"].get<std::vector<std::string>>();
    if (type == "P-1") {
      r.b1 = j.at("B1").get<uint64_t>();
      r.b2 = j.at("B2").get<uint64_t>();
      r.factors = j.at("factors").get<std::vector<std::string>>();
      r.fft_length = j.value("fft-length", int64_t{0});
      search_key key;
      std::string why;
      ASSERT_TRUE(read_search_key(line, &key, &why)) << why;
      EXPECT_TRUE(key.worktype == "P-1" && key.exponent == r.exponent && key.aid == r.aid &&
                  key.factor == (r.status == std::string("F")))
          << line;
    } else if (type != "TF") {
      r.residue = true;
      r.res64 = std::stoull(j.at("res64").get<std::string>(), nullptr, 16);
      r.shift_count = j.at("shift-count");
      if (type == "LL") {
        EXPECT_TRUE(j.at("errors").at("Jacobi").is_number_integer() && j["errors"].at("Roundoff").is_number_integer());
      } else {
        EXPECT_EQ(j.at("res2048").get<std::string>().substr(512 - 16), j["res64"].get<std::string>());
        EXPECT_TRUE(j.at("errors").at("gerbicz").is_number_integer() && j.at("residue-type") == 1);
        r.res2048 = j["res2048"];
        r.residue_type = 1;
        r.proof_power = j.at("proof").at("power");
        r.proof_md5 = j["proof"].at("md5");
      }
    } else {
      r.bitlo = j.at("bitlo");
      r.bithi = j.at("bithi");
      r.range_complete = j.at("rangecomplete");
    }
    EXPECT_EQ(search_result_line(r), line);
  }
}

// P-1 lines are P-1 alone (Pminus1= with its bounds, Pfactor= by the odds
// for its depth), Test= lines get P-1 first only with --pm1 and where it is
// not done; a P-1 factor goes back as a "P-1" line with status F, none as NF
// for a P-1 line only, and a P-1 that gave no verdict finishes nothing.
TEST(WorkFile, PminusOneLinesAndTheirServerLines) {
  work_settings base;
  base.pm1 = true;
  assignment pm1;
  pm1.type = work_type::pminus1;
  pm1.p = 67;
  pm1.b1 = 27;
  pm1.b2 = 2677;
  pm1.b2_start = 100;
  pm1.aid = "0123456789ABCDEF0123456789ABCDEF";
  work_settings s = settings_for(pm1, base, 0);
  EXPECT_TRUE(s.pm1_only && !s.pm1 && s.tf_bits == 0 && s.pm1_b1 == 27 && s.pm1_b2 == 2677 && s.pm1_b2_start == 100);
  const exponent_plan plan = plan_exponent(67, s, 60);
  EXPECT_TRUE(plan.pm1 && plan.pm1_only && plan.factor_depth == 0 && plan.pm1_b2_start == 100);
  assignment pfactor;
  pfactor.type = work_type::pfactor;
  pfactor.p = 100003;
  pfactor.factored_to = 50;
  pfactor.tests_saved = 1;
  s = settings_for(pfactor, base, 0);
  EXPECT_TRUE(s.pm1_only && s.pm1_b1 == 0 && s.tests_saved == 1 && s.tf_bits == 0);
  assignment test;
  test.p = 100003;
  for (const auto& [tests_saved, pm1_asked, runs] : {std::tuple{2, true, true}, {0, true, false}, {2, false, false}}) {
    test.tests_saved = tests_saved;
    base.pm1 = pm1_asked;
    s = settings_for(test, base, 0);
    EXPECT_TRUE(s.pm1 == runs && !s.pm1_only) << tests_saved << " " << pm1_asked;
  }

  exponent_result r;
  r.p = 67;
  r.kind = result_kind::pm1_factor;
  r.engine = "pm1";
  r.pm1.ran = true;
  r.pm1.b1 = 27;
  r.pm1.b2 = 2677;
  r.pm1.factors = {"193707721"};
  r.pm1.fft_length = 4;
  search_result sr;
  std::string why;
  ASSERT_TRUE(search_record(r, pm1, {}, &sr, &why)) << why;
  EXPECT_TRUE(std::string(sr.status) == "F" && std::string(sr.worktype) == "P-1" && sr.b1 == 27 && sr.b2 == 2677 &&
              sr.factors == r.pm1.factors && sr.fft_length == 4 && sr.aid == pm1.aid);
  EXPECT_TRUE(key_of(sr).factor && finishes(key_of(sr), pm1));
  // Found before a test: the same line, settling the test's assignment.
  test.type = work_type::prp;
  test.p = 67;
  ASSERT_TRUE(search_record(r, test, {}, &sr, &why)) << why;
  EXPECT_TRUE(std::string(sr.status) == "F" && std::string(sr.worktype) == "P-1" && finishes(key_of(sr), test));
  r.kind = result_kind::pm1_none;
  r.pm1.factors.clear();
  EXPECT_FALSE(search_record(r, test, {}, &sr, &why));
  ASSERT_TRUE(search_record(r, pm1, {}, &sr, &why)) << why;
  EXPECT_TRUE(std::string(sr.status) == "NF" && sr.factors.empty() && !key_of(sr).factor);
  EXPECT_TRUE(finishes(key_of(sr), pm1) && !finishes(key_of(sr), test));
  // No verdict from P-1 (an error): the line stays.
  r = carry_out(plan_exponent(67, settings_for(pm1, base, 0)), settings_for(pm1, base, 0));
  if (!r.outcome.error.empty()) {
    EXPECT_TRUE(r.engine == "pm1" && r.pm1_only && !has_verdict(r));
    EXPECT_FALSE(search_record(r, pm1, {}, &sr, &why));
  } else {
    EXPECT_EQ(r.kind, result_kind::pm1_factor);
  }
}

}  // namespace
