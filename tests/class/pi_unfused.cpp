// Pi by the midpoint rule with the term written out, 4.0 / (1.0 + x * x), rounded twice instead
// of once as a fused multiply-add; a worksharing loop with a reduction. (Correct.)
#include <omp.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  long n = 1000000;
  if (argc > 1) n = std::atol(argv[1]);

  double start = omp_get_wtime();
  double step = 1.0 / static_cast<double>(n);
  double sum = 0.0;
#pragma omp parallel for reduction(+ : sum)
  for (long i = 0; i < n; i++) {
    double x = (i + 0.5) * step;
    sum += 4.0 / (1.0 + x * x);
  }
  double pi = step * sum;
  double stop = omp_get_wtime();
  std::printf("pi = %.15f, N = %9d, time = %.8f secs\n", pi, static_cast<int>(n), stop - start);
  return 0;
}
