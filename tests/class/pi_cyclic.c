/* Pi by the midpoint rule in C: the intervals dealt out round-robin (thread t takes t, t + T,
   t + 2T, ...), each thread's sum added in a critical section. (Correct; the sum runs in
   another order than the serial one, so the last digits may differ.) */
#include <math.h>
#include <omp.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv) {
  long num_steps = 1000000;
  if (argc >= 2)
    num_steps = atol(argv[1]);

  double start = omp_get_wtime();
  double step = 1.0 / (double)num_steps;
  double pi = 0.0;
#pragma omp parallel
  {
    int me = omp_get_thread_num();
    int nthreads = omp_get_num_threads();
    double s = 0.0;
    long mine = (num_steps - me + nthreads - 1) / nthreads; /* how many intervals are mine */
    for (long k = 0; k < mine; k++) {
      double x = (me + k * nthreads + 0.5) * step;
      s += 4.0 / fma(x, x, 1.0);
    }
#pragma omp critical
    pi += s * step;
  }
  double elapsed = omp_get_wtime() - start;
  printf("pi = %.15f, N = %9d, time = %.8f secs\n", pi, (int)num_steps, elapsed);
  return 0;
}
