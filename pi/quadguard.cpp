// NAME    quadguard - pi by the midpoint rule, thread blocks and a critical section
// PURPOSE Each thread of the default team sums its own contiguous block of intervals and adds
//         its partial sum to the total once, inside a critical section.
// USAGE   quadguard [N]        (N defaults to 1000000; OMP_NUM_THREADS sets the team)
#include <omp.h>

#include <cstdint>

#include "ompsuite/timer.h"
#include "output_status.h"
#include "quadrature.h"

int main(int argc, char** argv) {
  const std::int64_t N = pi_problem_size(argc, argv, "quadguard");

  const double t0 = walltime();
  const double step = 1.0 / static_cast<double>(N);
  double total = 0.0;
#pragma omp parallel default(none) shared(N, step, total)
  {
    const int T = omp_get_num_threads();
    const int t = omp_get_thread_num();
    // Products in 64 bits: t * N overflows 32 bits long before N does.
    const std::int64_t start = static_cast<std::int32_t>((static_cast<std::int64_t>(t) * N) / T);
    const std::int64_t end = static_cast<std::int32_t>((static_cast<std::int64_t>(t + 1) * N) / T);
    double partial = 0.0;
    for (std::int64_t i = start; i < end; ++i) {
      partial += midpoint_term(i, step);
    }
#pragma omp critical
    total += partial;
  }
  const double pi = total * step;
  const double t1 = walltime();

  print_pi_report(pi, N, t1 - t0);
  return output_status("quadguard");
}
