#include "methods/pm1.h"

pm1_outcome run_pm1(const engine&, int32_t, const pm1_request&, const engine_options&) {
  pm1_outcome r;
  r.out.error = "P-1 factoring is not built yet";
  return r;
}
