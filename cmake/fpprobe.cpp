// Run at configure time under the build's own flags: exits 0 when floating-point arithmetic
// follows the written order, else prints "contraction" and/or "reassociation" and exits 1.
// The inputs come from the command line, so the compiler cannot fold the answer at build time.
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fputs("usage: fpprobe A B C BIG\n", stderr);
    return 2;
  }
  double v[4];
  for (int i = 0; i < 4; ++i) v[i] = std::strtod(argv[i + 1], nullptr);
  const double a = v[0], b = v[1], c = v[2], big = v[3];
  int found = 0;
  // a = 1 + 2^-30, b = 1 - 2^-30: a*b = 1 - 2^-60 rounds to 1, so a*b + c (c = -1) is exactly 0;
  // fused into one instruction it is -2^-60.
  if (a * b + c != 0.0) {
    std::puts("contraction");
    found = 1;
  }
  // big = 2^53: big + 1 rounds back to big, so the difference is 0; regrouped as 1 + (big - big)
  // it is 1.
  if ((big + 1.0) - big != 0.0) {
    std::puts("reassociation");
    found = 1;
  }
  return found;
}
