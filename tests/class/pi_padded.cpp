// Pi by the midpoint rule: one slot per thread in an array of partial sums, each slot padded
// to its own cache line so the threads do not share one; thread 0 adds the slots up after the
// region. (Correct.)
#include <omp.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

#define MAX_THREADS 64
#define PAD 8  // doubles per 64-byte cache line

int main(int argc, char** argv) {
  long n = argc > 1 ? std::atol(argv[1]) : 1000000;
  static double partial[MAX_THREADS][PAD];
  int used = 1;

  double t0 = omp_get_wtime();
  double step = 1.0 / (double)n;
#pragma omp parallel
  {
    int id = omp_get_thread_num();
    int nt = omp_get_num_threads();
    if (id == 0) {
      used = nt;
    }
    partial[id][0] = 0.0;
    for (long i = id * n / nt; i < (id + 1) * n / nt; i++) {
      double x = (i + 0.5) * step;
      partial[id][0] += 4.0 / std::fma(x, x, 1.0);
    }
  }
  double sum = 0.0;
  for (int t = 0; t < used; t++) {
    sum += partial[t][0];
  }
  double pi = sum * step;
  double t1 = omp_get_wtime();
  std::printf("pi = %.15f, N = %9d, time = %.8f secs\n", pi, (int)n, t1 - t0);
  return 0;
}
