// Pi by the midpoint rule: each thread sums its own block of intervals, then adds its part to
// the total inside a critical section. (Correct.)
#include <omp.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[]) {
  long n = 1000000;
  if (argc > 1) {
    n = std::atol(argv[1]);
  }
  double start = omp_get_wtime();
  double step = 1.0 / (double)n;
  double sum = 0.0;

#pragma omp parallel
  {
    int id = omp_get_thread_num();
    int nthreads = omp_get_num_threads();
    long first = id * n / nthreads;
    long last = (id + 1) * n / nthreads;
    double mine = 0.0;
    for (long i = first; i < last; i++) {
      double x = (i + 0.5) * step;
      mine += 4.0 / std::fma(x, x, 1.0);
    }
#pragma omp critical
    sum += mine;
  }

  double pi = step * sum;
  double time = omp_get_wtime() - start;
  std::printf("pi = %.15f, N = %9d, time = %.8f secs\n", pi, (int)n, time);
  return 0;
}
