// The race check's negative control, built only with SUITE_RACES: quadguard's pattern with the
// critical section left out, so that the threads add their partial sums to one total unguarded.
// The checker must report it (race_control.py); a check that stays silent here checks nothing.
#include <omp.h>

#include <cstdio>

int main() {
  double total = 0.0;
#pragma omp parallel default(none) shared(total)
  {
    const double partial = 1.0 + omp_get_thread_num();
    total += partial;  // the race
  }
  std::printf("total = %g\n", total);
  return 0;
}
