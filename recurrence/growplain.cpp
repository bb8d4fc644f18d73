// NAME    growplain - geometric recurrence filling a large array, one thread
// PURPOSE Fills opt[0..N] with Sn, Sn*ratio, Sn*ratio^2, ... by repeated multiplication
//         (N = 2000000000 as delivered, 16 GB); the serial baseline for growsplit.
// USAGE   growplain            (arguments are ignored)
#include <cstdint>
#include <cstdio>

#include "ompsuite/timer.h"
#include "output_status.h"
#include "recurrence.h"

int main() {
  double* opt = allocate_opt();

  // The first touch of every page falls inside the timed window, on purpose.
  const double t0 = walltime();
  double Sn = ratio;
  for (std::int32_t k = 0; k <= N; ++k) {
    opt[k] = Sn;
    Sn = Sn * ratio;
  }
  const double t1 = walltime();

  std::printf("Sequential RunTime:  %f seconds\n", t1 - t0);
  std::printf("Final Result Sn   :  %.17g \n", Sn);
  print_check_value(opt);
  return output_status("growplain");
}
