// NAME    quadslow - quadguard doing twice the work, for testing that a comparison sees a slowdown
// PURPOSE A build known to be slower without a change to its result: the same blocks, the same
//         critical section and the same pi to the last bit as quadguard, but every thread sums
//         its block twice. A before/after comparison that does not call this slower is blind.
// USAGE   quadslow [N]         (as quadguard; OMP_NUM_THREADS sets the team)
#include <omp.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "ompsuite/timer.h"
#include "output_status.h"
#include "quadrature.h"

// The second pass reads its step through this, so the compiler cannot prove it equal to the first
// pass's step and fold the two loops into one.
static volatile double step_again;

int main(int argc, char** argv) {
  const std::int64_t N = pi_problem_size(argc, argv, "quadslow");

  const double t0 = walltime();
  const double step = 1.0 / static_cast<double>(N);
  step_again = step;
  double total = 0.0;
  bool differed = false;
#pragma omp parallel default(none) shared(N, step, step_again, total, differed)
  {
    const int T = omp_get_num_threads();
    const int t = omp_get_thread_num();
    // The block bounds exactly as quadguard computes them, so each block's sum is the same.
    const std::int64_t start = static_cast<std::int32_t>((static_cast<std::int64_t>(t) * N) / T);
    const std::int64_t end = static_cast<std::int32_t>((static_cast<std::int64_t>(t + 1) * N) / T);
    double partial = 0.0;
    for (std::int64_t i = start; i < end; ++i) {
      partial += midpoint_term(i, step);
    }
    const double step2 = step_again;
    double again = 0.0;
    for (std::int64_t i = start; i < end; ++i) {
      again += midpoint_term(i, step2);
    }
#pragma omp critical
    {
      // Using the second sum keeps its loop alive; the two are the same operations on the same
      // values, so they can only differ by a fault.
      differed = differed || again != partial;
      total += partial;
    }
  }
  const double pi = total * step;
  const double t1 = walltime();

  if (differed) {
    std::fprintf(stderr, "quadslow: the two passes over a block gave different sums\n");
    return 1;
  }
  print_pi_report(pi, N, t1 - t0);
  return output_status("quadslow");
}
