#include "methods/pm1_bounds.h"

double dickman_rho(double) { return 0; }
double smooth_probability(double, uint64_t, uint64_t) { return 0; }
double pm1_chance(int32_t, int, uint64_t, uint64_t) { return 0; }
double pm1_cost(uint64_t, uint64_t, const pm1_costs&) { return 0; }
pm1_choice choose_pm1_bounds(int32_t, int, double, const pm1_costs&) { return {}; }
