// The same use of the timer from C++.
#include <ompsuite/timer.h>

#include <cstdio>

int main() {
  const double t0 = walltime();
  const double t1 = walltime();
  const bool ok = t0 > 0.0 && t1 >= t0;
  std::puts(ok ? "ok" : "readings out of order");
  return ok ? 0 : 1;
}
