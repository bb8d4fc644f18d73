// NAME    quadatomic - a user's own pi: thread blocks whose partial sums meet in an atomic update
// PURPOSE The kind of variant a student hands in beside the suite's programs: the same midpoint
//         sum as quadguard, with the critical section replaced by `omp atomic`. Built with
//         LOSE_LAST_INTERVAL the last block stops one interval short: a plausible fault (an
//         off-by-one end bound) that the tools' checks must catch at every size they run.
// USAGE   quadatomic [N]       (as the suite's pi programs)
#include <omp.h>

#include <cstdint>

#include "ompsuite/timer.h"
#include "output_status.h"
#include "quadrature.h"

#ifdef LOSE_LAST_INTERVAL
constexpr std::int64_t lost = 1;
#else
constexpr std::int64_t lost = 0;
#endif

int main(int argc, char** argv) {
  const std::int64_t N = pi_problem_size(argc, argv, "quadatomic");

  const double t0 = walltime();
  const double step = 1.0 / static_cast<double>(N);
  double total = 0.0;
#pragma omp parallel default(none) shared(N, step, total)
  {
    const int T = omp_get_num_threads();
    const int t = omp_get_thread_num();
    const std::int64_t start = (static_cast<std::int64_t>(t) * N) / T;
    const std::int64_t end = (static_cast<std::int64_t>(t + 1) * N) / T - (t == T - 1 ? lost : 0);
    double partial = 0.0;
    for (std::int64_t i = start; i < end; ++i) {
      partial += midpoint_term(i, step);
    }
#pragma omp atomic
    total += partial;
  }
  const double pi = total * step;
  const double t1 = walltime();

  print_pi_report(pi, N, t1 - t0);
  return output_status("quadatomic");
}
