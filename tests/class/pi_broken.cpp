// Pi by the midpoint rule with a reduction, handed in without being compiled: the thread-number
// call is misspelt. (Wrong: it does not compile.)
#include <omp.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  long n = argc > 1 ? std::atol(argv[1]) : 1000000;
  double t0 = omp_get_wtime();
  double step = 1.0 / (double)n;
  double sum = 0.0;
#pragma omp parallel reduction(+ : sum)
  {
    int id = omp_get_thread_numb();
    int nt = omp_get_num_threads();
    for (long i = id; i < n; i += nt) {
      double x = (i + 0.5) * step;
      sum += 4.0 / std::fma(x, x, 1.0);
    }
  }
  std::printf("pi = %.15f, N = %9d, time = %.8f secs\n", sum * step, (int)n, omp_get_wtime() - t0);
  return 0;
}
