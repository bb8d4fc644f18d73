// NAME    growsplit - geometric recurrence filling a large array, thread blocks
// PURPOSE Each thread of the default team restarts the recurrence at the first index of its own
//         contiguous block with pow, then multiplies through the block; compare with growplain.
// USAGE   growsplit            (arguments are ignored; OMP_NUM_THREADS sets the team)
#include <omp.h>

#include <cmath>
#include <cstdint>
#include <cstdio>

#include "ompsuite/timer.h"
#include "output_status.h"
#include "recurrence.h"

int main() {
  double* opt = allocate_opt();
  const double Sn = ratio;

  const double t0 = walltime();
#pragma omp parallel default(none) shared(opt, Sn)
  {
    const std::int32_t t = omp_get_thread_num();
    const std::int32_t T = omp_get_num_threads();
    const std::int32_t chunk = N / T;
    const std::int32_t start = t * chunk;
    // The last block also takes the N mod T leftover indices and index N itself.
    const std::int32_t last = (t == T - 1) ? N : start + chunk - 1;
    double r = std::pow(ratio, static_cast<double>(start)) * Sn;
    for (std::int32_t i = start; i <= last; ++i) {
      r = r * ratio;
      opt[i] = r;
    }
  }
  const double t1 = walltime();

  std::printf("Parallel RunTime  :  %f seconds\n", t1 - t0);
  std::printf("Final Result opt[N]:  %.17g \n", opt[N]);
  print_check_value(opt);
  return output_status("growsplit");
}
