#include "methods/factor/split.h"

#include "arith/residue.h"

std::vector<std::string> prime_factors_of(mpz_srcptr g, int32_t) {
  char* s = mpz_get_str(nullptr, 10, g);
  std::vector<std::string> out{s};
  free(s);
  return out;
}
