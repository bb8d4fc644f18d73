# Flags every target of the suite shares, carried by one interface target.
include(CheckCXXCompilerFlag)
include(CheckCXXSourceCompiles)

add_library(suite_flags INTERFACE)

# Results must follow the written order of operations to the last bit: no contraction of a*b+c
# behind the code's back (the only fused multiply-adds are explicit std::fma calls) and no fast-math.
target_compile_options(suite_flags INTERFACE -Wall -Wextra -Wpedantic -ffp-contract=off)

set(SUITE_ARCH_FLAGS "")
if(SUITE_NATIVE)
  check_cxx_compiler_flag(-march=native SUITE_HAVE_MARCH_NATIVE)
  if(SUITE_HAVE_MARCH_NATIVE)
    set(SUITE_ARCH_FLAGS -march=native)
  else()
    message(WARNING "SUITE_NATIVE is ON but the compiler refuses -march=native; building for its default target")
  endif()
endif()
target_compile_options(suite_flags INTERFACE ${SUITE_ARCH_FLAGS})

# Say whether std::fma becomes one instruction or a call into the math library: the results are
# the same either way, the pi loop is about three times slower with the call.
set(CMAKE_REQUIRED_FLAGS "${SUITE_ARCH_FLAGS}")
check_cxx_source_compiles("
#if !defined(__FMA__) && !defined(__ARM_FEATURE_FMA) && !defined(__aarch64__)
#error no fused multiply-add instruction for this target
#endif
int main() { return 0; }" SUITE_HARDWARE_FMA)
unset(CMAKE_REQUIRED_FLAGS)

if(SUITE_ARCH_FLAGS)
  message(STATUS "ompsuite: tuned for this host (${SUITE_ARCH_FLAGS}); set -DSUITE_NATIVE=OFF for portable binaries")
else()
  message(STATUS "ompsuite: portable binaries (compiler's default target)")
endif()
if(SUITE_HARDWARE_FMA)
  message(STATUS "ompsuite: std::fma compiles to the hardware fused multiply-add instruction")
else()
  message(STATUS "ompsuite: std::fma is a math library call on this target (same results, slower)")
endif()

if(SUITE_SANITIZE AND SUITE_RACES)
  message(FATAL_ERROR "SUITE_SANITIZE and SUITE_RACES exclude each other: choose one")
endif()

if(SUITE_SANITIZE)
  set(SUITE_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_compile_options(suite_flags INTERFACE ${SUITE_SANITIZER_FLAGS})
  target_link_options(suite_flags INTERFACE ${SUITE_SANITIZER_FLAGS})
  message(STATUS "ompsuite: AddressSanitizer and UndefinedBehaviorSanitizer enabled")
endif()

# The race check: ThreadSanitizer, made aware of OpenMP's synchronization by Archer, the OMPT tool
# that ships with LLVM's OpenMP runtime (libomp). GCC's ThreadSanitizer with libgomp reports false
# races on correct code, so only clang with libomp is accepted. The tests load Archer through
# OMP_TOOL_LIBRARIES (tests/CMakeLists.txt); the Archer found here must be the one beside libomp.
if(SUITE_RACES)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "SUITE_RACES needs clang and LLVM's OpenMP runtime (libomp); "
                        "the compiler is ${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION}")
  endif()
  if(NOT OpenMP_omp_LIBRARY)
    message(FATAL_ERROR "SUITE_RACES needs LLVM's OpenMP runtime (libomp); "
                        "OpenMP here links: ${OpenMP_CXX_LIB_NAMES}")
  endif()
  get_filename_component(SUITE_LIBOMP_DIR "${OpenMP_omp_LIBRARY}" DIRECTORY)
  find_library(SUITE_ARCHER_LIBRARY NAMES archer HINTS "${SUITE_LIBOMP_DIR}" NO_DEFAULT_PATH)
  if(NOT SUITE_ARCHER_LIBRARY)
    message(FATAL_ERROR "SUITE_RACES: no libarcher.so beside ${OpenMP_omp_LIBRARY} "
                        "(Debian: apt-get install libomp-14-dev)")
  endif()
  # -O1 comes after the build type's -O2 and wins.
  set(SUITE_SANITIZER_FLAGS -fsanitize=thread -g -O1)
  target_compile_options(suite_flags INTERFACE ${SUITE_SANITIZER_FLAGS})
  target_link_options(suite_flags INTERFACE ${SUITE_SANITIZER_FLAGS})
  message(STATUS "ompsuite: race check with ThreadSanitizer and Archer (${SUITE_ARCHER_LIBRARY})")
endif()
