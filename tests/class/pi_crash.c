/* Pi by the midpoint rule with an array of partial sums, one per thread, but the array is a
   global pointer that is never allocated. (Wrong: the first store dies with SIGSEGV.) */
#include <math.h>
#include <omp.h>
#include <stdio.h>
#include <stdlib.h>

double *partial_sums; /* should have been malloc'ed in main */

int main(int argc, char *argv[]) {
  long n = argc > 1 ? atol(argv[1]) : 1000000;
  int nthreads = 1;
  double t0 = omp_get_wtime();
  double step = 1.0 / (double)n;
#pragma omp parallel
  {
    int id = omp_get_thread_num();
    int nt = omp_get_num_threads();
    if (id == 0)
      nthreads = nt;
    partial_sums[id] = 0.0;
    for (long i = id; i < n; i += nt) {
      double x = (i + 0.5) * step;
      partial_sums[id] += 4.0 / fma(x, x, 1.0);
    }
  }
  double sum = 0.0;
  for (int t = 0; t < nthreads; t++)
    sum += partial_sums[t];
  printf("pi = %.15f, N = %9d, time = %.8f secs\n", sum * step, (int)n, omp_get_wtime() - t0);
  return 0;
}
