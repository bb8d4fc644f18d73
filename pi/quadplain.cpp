// NAME    quadplain - pi by the midpoint rule, one thread
// PURPOSE Sums 4 / (1 + x^2) over N equal intervals of [0, 1] in index order; the serial
//         baseline for quadguard and quadmerge.
// USAGE   quadplain [N]        (N defaults to 1000000)
#include <cstdint>

#include "ompsuite/timer.h"
#include "output_status.h"
#include "quadrature.h"

int main(int argc, char** argv) {
  const std::int64_t N = pi_problem_size(argc, argv, "quadplain");

  const double t0 = walltime();
  const double step = 1.0 / static_cast<double>(N);
  double sum = 0.0;
  // A 64-bit index lets the compiler compute terms in vector registers while it still adds
  // them one at a time, in order; every index value and term is the same as with 32 bits.
  for (std::int64_t i = 0; i < N; ++i) {
    sum += midpoint_term(i, step);
  }
  const double pi = sum * step;
  const double t1 = walltime();

  print_pi_report(pi, N, t1 - t0);
  return output_status("quadplain");
}
