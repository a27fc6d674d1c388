// The lines of a work file, as the volunteer search's server hands them out:
//   Test=[AID,]p,how_far_factored,p-1_done        DoubleCheck= (the same fields)
//   PRP=[AID,]1,2,p,-1[,how_far_factored,tests_saved][,base,residue_type][,"factors"]   PRPDC= (the same)
//   Factor=[AID,]p,how_far_factored,how_far_to_factor_to
//   Pfactor=[AID,]1,2,p,-1,how_far_factored,tests_saved   (P-1 with bounds chosen by the odds)
//   Pminus1=[AID,]1,2,p,-1,B1,B2[,how_far_factored][,B2_start][,"factors"]   (P-1 with these bounds;
//     B2 of 0 or below B1: stage 1 alone; a single field after B2 is how_far_factored where it is at
//     most 200, else B2_start; known factors are refused)
// a bare exponent (a Lucas-Lehmer test), blank lines, '#' comments and
// "[Worker #n]" section lines. AID is 32 hex digits; "N/A", "n/a" or no
// field at all mean none. Every line is kept as its bytes, so that the
// file can be written back with only finished lines taken out.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum class work_type { ll, double_check, prp, prp_dc, factor, pminus1, pfactor };

struct assignment {
  work_type type = work_type::ll;
  std::string aid;           // the 32 hex digits; empty: none
  int32_t p = 0;
  int factored_to = 0;       // how_far_factored: no trial factoring below 2^this
  int factor_to = 0;         // Factor=: factor up to 2^this
  int prp_base = 3;          // PRP=: the base and residue type asked for
  int residue_type = 1;
  bool known_factors = false;  // PRP= and Pminus1=: of a cofactor (factors listed)
  int tests_saved = 0;       // PRP=, Pfactor= (and Test= with p-1_done 0): the tests a factor would save, rounded (0: not given)
  uint64_t b1 = 0, b2 = 0;   // Pminus1=: the bounds asked for (b2 = b1: no stage 2)
  uint64_t b2_start = 0;     // Pminus1=: stage 2 from there, above b1 (0: from b1)
  std::string refusal;       // not empty: a line this program cannot do, and why
};

struct work_line {
  enum class kind { other, section, task, bad } what = kind::other;  // other: blank or comment
  int line_no = 0;           // 1-based
  std::string text;          // the line's bytes without its line break ('\r' kept)
  int section = 0;           // the "[Worker #n]" section it is in; 0: before any
  assignment task;           // for task
  std::string why;           // for bad: the reason
};

// Every line of text, numbered, with its meaning. Never fails: a line it
// cannot read is kind::bad with the reason.
std::vector<work_line> parse_work_file(std::string_view text);

// The line of one assignment, parsed on its own (p range, AID form, field
// counts checked). kind::bad with the reason when it is none.
work_line parse_work_line(std::string_view line);

// text with the first line whose bytes are line taken out (and its line
// break); text itself when there is none. Every other byte stays.
std::string remove_work_line(std::string_view text, std::string_view line);

// "LL", "PRP-3", "TF" or "P-1": the name the server gives the work of t.
const char* work_type_name(work_type t);
