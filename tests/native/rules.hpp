// The reading rules of the readers' own tests: a run in 2026, in the given day/month order.
#pragma once

#include "fast/readers.hpp"

inline qx::fast::ReadRules rules_of_2026(bool dayfirst = false) {
  qx::fast::ReadRules rules;
  rules.dayfirst = dayfirst;
  rules.this_year = 2026;
  rules.century = 2000;
  rules.default_year = 2026;
  return rules;
}
