// NAME    fillfloor - the least time growplain's timed fill can take on this machine
// PURPOSE Allocates the array as growplain does, faults every page in (timed), then runs the same
//         fill over memory already faulted in (timed); their sum is the floor of the fill.
// USAGE   fillfloor            (prints "fault <s>" and "fill <s>")
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "recurrence.h"
#include "ompsuite/timer.h"

int main() {
  double* opt = allocate_opt();
  const std::size_t elements = static_cast<std::size_t>(N) + 1;

  const double t0 = walltime();
  // One write per 4 KiB faults in every page, huge or not.
  for (std::size_t k = 0; k < elements; k += 512) {
    opt[k] = 0.0;
  }
  const double t1 = walltime();
  double Sn = ratio;
  for (std::int32_t k = 0; k <= N; ++k) {
    opt[k] = Sn;
    Sn = Sn * ratio;
  }
  const double t2 = walltime();

  std::printf("fault %f\nfill %f\nresult %.17g %.17g\n", t1 - t0, t2 - t1, Sn, opt[N / 2]);
  return 0;
}
