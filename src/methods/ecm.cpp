#include "methods/ecm.h"

bool ecm_applicable(int32_t) { return false; }

ecm_outcome run_ecm(int32_t, const ecm_request&, const std::atomic<bool>*, const std::function<void(int, int)>&) {
  ecm_outcome r;
  r.error = "ECM is not built yet";
  return r;
}
