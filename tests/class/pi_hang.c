/* Pi by the midpoint rule where thread 0 works out the step and the others wait for it on a
   flag, but thread 0 never raises the flag. (Wrong: every other thread, and thread 0 with it at
   the end of the region, waits forever; with one thread it spins too.) */
#include <math.h>
#include <omp.h>
#include <stdio.h>
#include <stdlib.h>

static volatile int ready = 0; /* set when the step is known */

int main(int argc, char *argv[]) {
  long n = argc > 1 ? atol(argv[1]) : 1000000;
  double step = 0.0;
  double sum = 0.0;
  double t0 = omp_get_wtime();
#pragma omp parallel
  {
    int id = omp_get_thread_num();
    int nt = omp_get_num_threads();
    if (id == 0)
      step = 1.0 / (double)n; /* forgot: ready = 1; */
    while (!ready) {
    }
    double part = 0.0;
    for (long i = id; i < n; i += nt) {
      double x = (i + 0.5) * step;
      part += 4.0 / fma(x, x, 1.0);
    }
#pragma omp atomic
    sum += part;
  }
  printf("pi = %.15f, N = %9d, time = %.8f secs\n", sum * step, (int)n, omp_get_wtime() - t0);
  return 0;
}
