// NAME    quadbase - the reference pi loop the suite's pi programs are measured against
// PURPOSE The same midpoint sum as quadplain written plainly, with a 32-bit index, for the
//         benchmark to build with ordinary flags; it must print the same pi.
// USAGE   quadbase [N]
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "ompsuite/timer.h"

int main(int argc, char** argv) {
  const long N = argc > 1 ? std::atol(argv[1]) : 1000000;
  const double t0 = walltime();
  const double step = 1.0 / static_cast<double>(N);
  double sum = 0.0;
  for (std::int32_t i = 0; i < static_cast<std::int32_t>(N); ++i) {
    const double x = (i + 0.5) * step;
    sum += 4.0 / std::fma(x, x, 1.0);
  }
  const double pi = sum * step;
  const double t1 = walltime();
  std::printf("pi = %.15f, N = %9d, time = %.8f secs\n", pi, static_cast<std::int32_t>(N), t1 - t0);
  return 0;
}
