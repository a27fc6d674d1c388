// The console program as it was before the inverse transform had faster
// paths: the same dialogue, with every step's inverse transform done by the
// straightforward loop. Only for timing against the real program.
//
// This definition takes the place of the library's inverse_dft_vektor: a
// static archive member is only pulled in for a symbol still undefined, and
// the dispatching definition sits alone in its own member for that reason.
#include <cstdlib>

#include "driver/lucas_lehmer.h"
#include "transform/transform.h"

void inverse_dft_vektor(int32_t n, const double* wr, const double* wi, const double* res_dft_r,
                        const double* res_dft_i, double* inf_dft_r, double* inf_dft_i,
                        double* res_polynom) {
  inverse_dft_vektor_loop(n, wr, wi, res_dft_r, res_dft_i, inf_dft_r, inf_dft_i, res_polynom);
}

int main() { return run_dialogue(std::calloc); }
