// NAME    quadmerge - pi by the midpoint rule, a static worksharing loop and a reduction
// PURPOSE The runtime divides the intervals among the default team (static schedule) and
//         combines the partial sums (+ reduction); the program writes neither itself.
// USAGE   quadmerge [N]        (N defaults to 1000000; OMP_NUM_THREADS sets the team)
#include <cstdint>

#include "ompsuite/timer.h"
#include "output_status.h"
#include "quadrature.h"

int main(int argc, char** argv) {
  const std::int64_t N = pi_problem_size(argc, argv, "quadmerge");

  const double t0 = walltime();
  const double step = 1.0 / static_cast<double>(N);
  double sum = 0.0;
  // The trip count is N taken as 32 bits; the index is held in 64 bits, as in quadplain.
  const std::int64_t n = static_cast<std::int32_t>(N);
#pragma omp parallel for schedule(static) default(none) shared(n, step) reduction(+ : sum)
  for (std::int64_t i = 0; i < n; ++i) {
    sum += midpoint_term(i, step);
  }
  const double pi = sum * step;
  const double t1 = walltime();

  print_pi_report(pi, N, t1 - t0);
  return output_status("quadmerge");
}
