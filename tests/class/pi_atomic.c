/* Pi by the midpoint rule in C: blocks of intervals per thread, the partial sums added to the
   total with an atomic update. (Correct; it also has an unused variable, so it builds with a
   warning.) */
#include <math.h>
#include <omp.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char *argv[]) {
  long n = 1000000;
  int unused_count;
  if (argc > 1)
    n = atol(argv[1]);

  double t0 = omp_get_wtime();
  double step = 1.0 / (double)n;
  double sum = 0.0;

#pragma omp parallel
  {
    int id = omp_get_thread_num();
    int nt = omp_get_num_threads();
    long lo = id * n / nt, hi = (id + 1) * n / nt;
    double part = 0.0;
    for (long i = lo; i < hi; i++) {
      double x = (i + 0.5) * step;
      part += 4.0 / fma(x, x, 1.0);
    }
#pragma omp atomic
    sum += part;
  }

  double pi = sum * step;
  printf("pi = %.15f, N = %9d, time = %.8f secs\n", pi, (int)n, omp_get_wtime() - t0);
  return 0;
}
