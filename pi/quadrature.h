// Pieces common to the three pi programs: the command line, the term of the midpoint sum and
// the report line. Keeping them in one place keeps the three loop bodies identical, so that
// timing the programs against each other compares their parallel constructs and nothing else.
#ifndef OMPSUITE_QUADRATURE_H
#define OMPSUITE_QUADRATURE_H

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// Status for an argument outside the supported range of N.
constexpr int pi_usage_status = 2;

// N as atol reads the first argument (leading blanks, one sign, digits up to the first other
// character, 0 when there is no number), 1000000 without one. The loop index and the report
// are 32 bits wide, so a number outside that range is refused instead of silently wrapping.
inline std::int64_t pi_problem_size(int argc, char** argv, const char* prog) {
  if (argc < 2) {
    return 1000000;
  }
  errno = 0;
  const long long n = std::strtoll(argv[1], nullptr, 10);
  if (errno == ERANGE || n < INT32_MIN || n > INT32_MAX) {
    std::fprintf(stderr, "%s: N '%s' is outside the supported range -2147483648 ... 2147483647\n", prog,
                 argv[1]);
    std::exit(pi_usage_status);
  }
  return n;
}

// One midpoint term 4 / (1 + x^2) of interval i; x*x + 1 is rounded once, as a fused multiply-add.
inline double midpoint_term(std::int64_t i, double step) {
  const double x = (static_cast<double>(i) + 0.5) * step;
  return 4.0 / std::fma(x, x, 1.0);
}

inline void print_pi_report(double pi, std::int64_t N, double seconds) {
  std::printf("pi = %.15f, N = %9d, time = %.8f secs\n", pi, static_cast<std::int32_t>(N), seconds);
}

#endif
