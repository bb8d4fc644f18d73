"""The race check's negative control: the checker must report the deliberate race in racy.cpp.

It also shows that the checker is the intended one: only LLVM's OpenMP runtime loads Archer, and
Archer announces itself when asked. The other tests run with the same environment from CTest.
"""
import sys

import reference as ref


def main(path):
    proc = ref.run(path, threads=2, env_extra={"ARCHER_OPTIONS": "verbose=1"}, timeout=60)
    errors = []
    if "Archer detected OpenMP application with TSan" not in proc.stdout:
        errors.append("Archer was not loaded (LLVM's libomp loads it through OMP_TOOL_LIBRARIES)")
    if "WARNING: ThreadSanitizer: data race" not in proc.stderr or "racy.cpp" not in proc.stderr:
        errors.append("no data race reported in racy.cpp")
    if proc.returncode != 66:
        errors.append(f"status {proc.returncode}, expected ThreadSanitizer's 66 (TSAN_OPTIONS exitcode)")
    if errors:
        print("FAIL: " + "; ".join(errors) + f"\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}")
        sys.exit(1)
    print("the race check reported the deliberate race")


if __name__ == "__main__":
    main(sys.argv[1])
