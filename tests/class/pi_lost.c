/* Pi by the midpoint rule with a worksharing loop, but the loop starts at 1: the first interval
   is never added. (Wrong: pi is short by about 4/N.) */
#include <math.h>
#include <omp.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char *argv[]) {
  long n = argc > 1 ? atol(argv[1]) : 1000000;
  double t0 = omp_get_wtime();
  double step = 1.0 / (double)n;
  double sum = 0.0;
#pragma omp parallel for reduction(+:sum)
  for (long i = 1; i < n; i++) {
    double x = (i + 0.5) * step;
    sum += 4.0 / fma(x, x, 1.0);
  }
  double pi = step * sum;
  printf("pi = %.15f, N = %9d, time = %.8f secs\n", pi, (int)n, omp_get_wtime() - t0);
  return 0;
}
