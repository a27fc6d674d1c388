// FFTW wisdom kept across runs: one file per user and machine, under
// $XDG_CACHE_HOME/mersenne/ (else ~/.cache/mersenne/), imported before the
// process's first plan and rewritten when planning has added to it, so that
// measured plans are measured once per machine rather than once per run.
//
// The file is text: a format line, the processor, FFTW's version, the
// SHA-256 of the wisdom, then the wisdom as FFTW exports it. A file that is
// unreadable, cut short, damaged, of another processor or FFTW, or refused by
// FFTW is ignored with one warning and replaced at the next save; it can
// only cost measuring time, never change a result.
#pragma once

#include <string>

// Before planning, with fftw_planner_lock() held: sets FFTW's per-plan time
// limit; the first call of the process (or after wisdom_reset_for_testing)
// also imports the saved wisdom, if any. May warn once through the sink.
void wisdom_before_planning();

// After planning, with fftw_planner_lock() held and wisdom_before_planning()
// called: when the process's wisdom grew since it was last loaded or saved
// (or the file on disk was unusable), merges what the file holds now and
// rewrites it atomically. A failed save warns once per process and is
// otherwise ignored.
void wisdom_after_planning();

// Where warnings go, one line without its newline; nullptr restores the
// default (the line on stderr). Requires fftw_planner_lock() held.
void wisdom_set_warning_sink(void (*sink)(const std::string& line));

// For tests, with fftw_planner_lock() held: forgets all of FFTW's wisdom and
// the file state, so that the next wisdom_before_planning() loads afresh
// (and takes XDG_CACHE_HOME anew).
void wisdom_reset_for_testing();
