// Pi by the midpoint rule: each thread sums its block, then adds its part to the shared total
// with a plain +=, no critical section. (Wrong: a data race. The threads finish at different
// times, so two updates rarely meet and pi usually comes out right, which is why it is easy to
// hand in.)
#include <omp.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  long n = argc > 1 ? std::atol(argv[1]) : 1000000;
  double t0 = omp_get_wtime();
  double step = 1.0 / (double)n;
  double total = 0.0;
#pragma omp parallel
  {
    int id = omp_get_thread_num();
    int nt = omp_get_num_threads();
    double mine = 0.0;
    for (long i = id * n / nt; i < (id + 1) * n / nt; i++) {
      double x = (i + 0.5) * step;
      mine += 4.0 / std::fma(x, x, 1.0);
    }
    total += mine;
  }
  double pi = total * step;
  std::printf("pi = %.15f, N = %9d, time = %.8f secs\n", pi, (int)n, omp_get_wtime() - t0);
  return 0;
}
