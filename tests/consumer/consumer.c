/* Links walltime by its plain C name: a timer that lost its C linkage fails to link here. */
#include <ompsuite/timer.h>
#include <stdio.h>

int main(void) {
  const double t0 = walltime();
  const double t1 = walltime();
  const int ok = t0 > 0.0 && t1 >= t0;
  puts(ok ? "ok" : "readings out of order");
  return ok ? 0 : 1;
}
