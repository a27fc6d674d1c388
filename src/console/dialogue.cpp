#include "console/dialogue.h"

#include <cstdio>

#include "console/str_2y16.h"
#include "console/read_exponent.h"

dialogue_status run_dialogue(alloc_fn alloc, inverse_path path) {
  printf("Primzahl n von der zu pruefenden Mersenneschen Zahl eingeben:");
  int32_t p = 0;
  switch (read_exponent(stdin, &p)) {
    case read_status::ok:
      break;
    case read_status::no_integer:
      printf("\nKeine ganze Zahl gelesen, Abbruch\n");
      return dialogue_status::bad_input;
    case read_status::out_of_range:
      printf("\nZahl ausserhalb des 32-Bit-Bereichs, Abbruch\n");
      return dialogue_status::bad_input;
  }

  ll_arrays a;
  const bool allocated = allocate_arrays(size_unit(p), alloc, true, &a);
  printf("\n\n");
  if (!allocated) {
    printf("Zu wenig Speicher fuer p = %d, Abbruch\n", p);
    free_arrays(&a);
    return dialogue_status::no_memory;
  }

  ll_run run;
  ll_start(a, &run);
  ll_loop_options opt;
  opt.trace = true;
  opt.path = path;
  ll_iterate(a, p, &run, opt);
  print_digits(a.u2, run.len);
  const bool zero = ll_residue_is_zero(a, &run);
  free_arrays(&a);

  if (!(run.max_distance < kMaxRoundoff)) {
    printf("me (2y%d)-1: kein Ergebnis, Rundungsfehler %.4f in Schritt %d erreicht die Grenze %.1f\n", p,
           run.max_distance, run.max_step, kMaxRoundoff);
    return dialogue_status::no_verdict;
  }
  // 2^2 - 1 = 3 is prime although no step runs for p = 2.
  if (zero || p == 2)
    printf("me (2y%d)-1 is prime\n", p);
  else
    printf("me (2y%d)-1 is not prime\n", p);
  return dialogue_status::verdict;
}
