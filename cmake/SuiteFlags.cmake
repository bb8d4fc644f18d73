# Flags every target of the suite shares, carried by one interface target.
include(CheckCXXCompilerFlag)
include(CheckCXXSourceCompiles)

add_library(suite_flags INTERFACE)

# PATH as seen from the folder FROM (both under the prefix); an absolute PATH stays as it is.
function(suite_relative out from path)
  if(IS_ABSOLUTE "${path}")
    set(${out} "${path}" PARENT_SCOPE)
  elseif(IS_ABSOLUTE "${from}")
    set(${out} "${CMAKE_INSTALL_PREFIX}/${path}" PARENT_SCOPE)
  else()
    file(RELATIVE_PATH rel "/prefix/${from}" "/prefix/${path}")
    string(REGEX REPLACE "/$" "" rel "${rel}")
    set(${out} "${rel}" PARENT_SCOPE)
  endif()
endfunction()

set(SUITE_COMPILER "${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION} (${CMAKE_CXX_COMPILER})")
if(CMAKE_CXX_COMPILER_ID MATCHES "^(GNU|Clang|AppleClang|IntelLLVM)$")
  set(SUITE_GNU_LIKE ON)
else()
  set(SUITE_GNU_LIKE OFF)
endif()

# Results must follow the written order of operations to the last bit: no contraction of a*b+c
# behind the code's back (the only fused multiply-adds are explicit std::fma calls) and no
# regrouping of sums. These come after CMAKE_CXX_FLAGS on every command line, so they win over a
# user's contraction setting; whatever the flags leave, the probe below finds.
# SUITE_FP_CONTRACT_FLAG and SUITE_FP_ORDER_FLAG are what the refusal tells the user to add.
if(CMAKE_CXX_COMPILER_ID MATCHES "^(GNU|Clang|AppleClang)$")
  set(SUITE_FP_FLAGS -ffp-contract=off)
  set(SUITE_FP_CONTRACT_FLAG -ffp-contract=off)
  set(SUITE_FP_ORDER_FLAG -fno-fast-math)
elseif(CMAKE_CXX_COMPILER_ID STREQUAL "IntelLLVM")
  # Intel oneAPI icx/icpx (not tested here): its default model is -fp-model=fast, and its
  # precise model still contracts.
  set(SUITE_FP_FLAGS -fp-model=precise -ffp-contract=off)
  set(SUITE_FP_CONTRACT_FLAG -ffp-contract=off)
  set(SUITE_FP_ORDER_FLAG -fp-model=precise)
elseif(CMAKE_CXX_COMPILER_ID STREQUAL "NVHPC")
  # NVIDIA HPC nvc++ (not tested here): -Kieee keeps IEEE 754 semantics, -Mnofma forbids fusion.
  set(SUITE_FP_FLAGS -Kieee -Mnofma)
  set(SUITE_FP_CONTRACT_FLAG -Mnofma)
  set(SUITE_FP_ORDER_FLAG -Kieee)
else()
  set(SUITE_FP_FLAGS "")
  set(SUITE_FP_CONTRACT_FLAG "the flag that turns off floating-point contraction (fused multiply-add)")
  set(SUITE_FP_ORDER_FLAG "the flag that keeps the written order of floating-point operations")
  message(STATUS "ompsuite: no exactness flags known for ${CMAKE_CXX_COMPILER_ID}; the probe decides")
endif()
target_compile_options(suite_flags INTERFACE ${SUITE_FP_FLAGS})

if(SUITE_GNU_LIKE)
  target_compile_options(suite_flags INTERFACE -Wall -Wextra -Wpedantic)
  if(SUITE_WERROR)
    target_compile_options(suite_flags INTERFACE -Werror)
  endif()
elseif(SUITE_WERROR)
  message(WARNING "SUITE_WERROR: no warnings-as-errors flag known for ${CMAKE_CXX_COMPILER_ID}; ignored")
endif()

# The target processor. A tree tuned for its host (SUITE_NATIVE, or SUITE_INSTALL_ARCH=native)
# records the host's processor, so that the tools refuse it on another one (host-cpu.txt).
if(CMAKE_CXX_COMPILER_ID STREQUAL "NVHPC")
  set(SUITE_ARCH_OPTION -tp=)
else()
  set(SUITE_ARCH_OPTION -march=)
endif()
if(SUITE_NATIVE)
  set(SUITE_ARCH native)
else()
  set(SUITE_ARCH "${SUITE_INSTALL_ARCH}")
endif()
set(SUITE_ARCH_FLAGS "")
if(SUITE_ARCH)
  set(SUITE_ARCH_FLAGS ${SUITE_ARCH_OPTION}${SUITE_ARCH})
  check_cxx_compiler_flag(${SUITE_ARCH_FLAGS} SUITE_ARCH_OK_${SUITE_ARCH})
  if(NOT SUITE_ARCH_OK_${SUITE_ARCH})
    message(FATAL_ERROR "ompsuite: ${SUITE_COMPILER} refuses ${SUITE_ARCH_FLAGS}; choose another "
                        "SUITE_INSTALL_ARCH (empty: the compiler's default target) or SUITE_NATIVE=OFF")
  endif()
endif()
# A target built for one of SUITE_LEVELS (pi/CMakeLists.txt) names it in its SUITE_LEVEL property,
# which takes the place of the tree's own level.
target_compile_options(suite_flags INTERFACE
  "$<IF:$<BOOL:$<TARGET_PROPERTY:SUITE_LEVEL>>,${SUITE_ARCH_OPTION}$<TARGET_PROPERTY:SUITE_LEVEL>,${SUITE_ARCH_FLAGS}>"
  "$<TARGET_PROPERTY:SUITE_LEVEL_FLAGS>")

# Further levels of a portable tree's pi programs: each is built once more for every level named
# here, as a private library that glibc's loader prefers on a processor that has the level (its
# glibc-hwcaps subfolder), so that std::fma is the hardware instruction wherever there is one.
# x86-64-v3 is the first level with FMA; x86-64-v4 (AVX-512) adds the vector conversion of the
# 64-bit index to double, without which the terms are computed one at a time. Never for a tuned
# tree, nor a sanitized one (its speed is not measured).
set(SUITE_DEFAULT_LEVELS "")
if(SUITE_DEFAULT_ARCH STREQUAL "x86-64-v2" AND SUITE_GNU_LIKE AND NOT SUITE_SANITIZE AND NOT SUITE_RACES)
  set(SUITE_DEFAULT_LEVELS x86-64-v3 x86-64-v4)
endif()
# With 512-bit vectors the pi loop takes 1.8 times as long as with 256-bit ones (GCC 12, on an
# Intel processor with AVX-512), where -march=native keeps to 256 bits.
set(SUITE_LEVEL_FLAGS_x86-64-v4 -mprefer-vector-width=256)
set(SUITE_LEVELS "${SUITE_DEFAULT_LEVELS}" CACHE STRING
    "Processor levels (glibc-hwcaps names) the pi programs of a portable tree are also built for; empty: none")
if(SUITE_ARCH STREQUAL "native")
  set(SUITE_LEVELS "")
endif()
foreach(level IN LISTS SUITE_LEVELS)
  check_cxx_compiler_flag(${SUITE_ARCH_OPTION}${level} SUITE_ARCH_OK_${level})
  if(NOT SUITE_ARCH_OK_${level} OR SUITE_ARCH STREQUAL level)
    message(FATAL_ERROR "ompsuite: SUITE_LEVELS: ${SUITE_COMPILER} refuses ${SUITE_ARCH_OPTION}${level}, or it is "
                        "the tree's own level: name other glibc-hwcaps levels, or none")
  endif()
endforeach()

# What identifies the host's processor for -march=native: its model and its feature list, as the
# kernel reports them (the tools read the same lines: ompsuite's build module).
set(SUITE_HOST_CPU_FILE ${PROJECT_BINARY_DIR}/host-cpu.txt)
if(SUITE_ARCH STREQUAL "native" AND EXISTS /proc/cpuinfo)
  file(STRINGS /proc/cpuinfo SUITE_CPUINFO REGEX "^(model name|flags|Features|CPU implementer|CPU part)[ \t]*:")
  set(SUITE_HOST_CPU "")
  foreach(key "model name" "flags" "Features" "CPU implementer" "CPU part")
    foreach(line IN LISTS SUITE_CPUINFO)
      if(line MATCHES "^${key}[ \t]*:[ \t]*(.*)$")
        string(APPEND SUITE_HOST_CPU "${key}: ${CMAKE_MATCH_1}\n")
        break()
      endif()
    endforeach()
  endforeach()
  # Reconfiguring on another processor would leave the objects built for the first one.
  if(EXISTS ${SUITE_HOST_CPU_FILE})
    file(READ ${SUITE_HOST_CPU_FILE} SUITE_TUNED_CPU)
    if(NOT SUITE_TUNED_CPU STREQUAL SUITE_HOST_CPU)
      message(FATAL_ERROR " ompsuite: ${PROJECT_BINARY_DIR} is tuned (-march=native) for another processor "
                          "(${SUITE_HOST_CPU_FILE}): remove it and configure again")
    endif()
  endif()
  file(WRITE ${SUITE_HOST_CPU_FILE} "${SUITE_HOST_CPU}")
else()
  file(REMOVE ${SUITE_HOST_CPU_FILE})
endif()

# Say whether std::fma becomes one instruction or a call into the math library: the results are
# the same either way; the pi loop is about four times slower with the call, and hundreds of times
# on a processor without the instruction, where the library computes it in software.
set(CMAKE_REQUIRED_FLAGS "${SUITE_ARCH_FLAGS}")
check_cxx_source_compiles("
#if !defined(__FMA__) && !defined(__ARM_FEATURE_FMA) && !defined(__aarch64__)
#error no fused multiply-add instruction for this target
#endif
int main() { return 0; }" SUITE_HARDWARE_FMA_${SUITE_ARCH})
unset(CMAKE_REQUIRED_FLAGS)

if(SUITE_ARCH STREQUAL "native")
  message(STATUS "ompsuite: tuned for this host (${SUITE_ARCH_FLAGS}); such a tree is not installed")
elseif(SUITE_ARCH)
  message(STATUS "ompsuite: portable binaries for ${SUITE_ARCH} (${SUITE_ARCH_FLAGS})")
else()
  message(STATUS "ompsuite: portable binaries (compiler's default target)")
endif()
if(SUITE_HARDWARE_FMA_${SUITE_ARCH})
  message(STATUS "ompsuite: std::fma compiles to the hardware fused multiply-add instruction")
elseif(SUITE_LEVELS)
  list(JOIN SUITE_LEVELS ", " SUITE_LEVEL_NAMES)
  message(STATUS "ompsuite: std::fma is a math library call at ${SUITE_ARCH}; the pi programs' copies for "
                 "${SUITE_LEVEL_NAMES} use the instruction where the processor has it")
else()
  message(STATUS "ompsuite: std::fma is a math library call on this target (same results, slower)")
endif()

# The exactness probe: compiled with every flag a program gets (the user's CMAKE_CXX_FLAGS and the
# build type's first, as on the real command lines), then run on inputs it reads at run time.
if(CMAKE_CROSSCOMPILING)
  message(STATUS "ompsuite: cross-compiling, so the floating-point probe is not run")
else()
  if(CMAKE_BUILD_TYPE)
    set(CMAKE_TRY_COMPILE_CONFIGURATION ${CMAKE_BUILD_TYPE})
  else()
    set(CMAKE_TRY_COMPILE_CONFIGURATION Release)
  endif()
  string(TOUPPER "${CMAKE_TRY_COMPILE_CONFIGURATION}" SUITE_CONFIG)
  string(STRIP "${CMAKE_CXX_FLAGS} ${CMAKE_CXX_FLAGS_${SUITE_CONFIG}} ${SUITE_FP_FLAGS} ${SUITE_ARCH_FLAGS}"
         SUITE_PROBE_FLAGS)
  string(REPLACE ";" " " SUITE_PROBE_FLAGS "${SUITE_PROBE_FLAGS}")
  # Once for the tree's level and once for each further level: every level a program may run at.
  foreach(level "" ${SUITE_LEVELS})
    set(level_flags ${SUITE_ARCH_FLAGS})
    set(level_probe_flags "${SUITE_PROBE_FLAGS}")
    set(level_label "")
    if(level)  # the later -march wins
      set(level_flags ${SUITE_ARCH_FLAGS} ${SUITE_ARCH_OPTION}${level} ${SUITE_LEVEL_FLAGS_${level}})
      string(REPLACE ";" " " level_probe_flags "${SUITE_PROBE_FLAGS};${SUITE_ARCH_OPTION}${level};${SUITE_LEVEL_FLAGS_${level}}")
      set(level_label " (${level})")
    endif()
    unset(SUITE_FP_PROBE_RUN CACHE)  # try_run caches its result; the flags may have changed since
    try_run(SUITE_FP_PROBE_RUN SUITE_FP_PROBE_COMPILED ${PROJECT_BINARY_DIR}/fpprobe
            ${PROJECT_SOURCE_DIR}/cmake/fpprobe.cpp
            COMPILE_DEFINITIONS ${SUITE_FP_FLAGS} ${level_flags}
            CXX_STANDARD 17 CXX_STANDARD_REQUIRED ON CXX_EXTENSIONS OFF
            COMPILE_OUTPUT_VARIABLE SUITE_FP_PROBE_BUILD RUN_OUTPUT_VARIABLE SUITE_FP_PROBE_OUT
            ARGS 0x1.00000004p+0 0x1.fffffff8p-1 -1 0x1p53)
    if(NOT SUITE_FP_PROBE_COMPILED)
      message(FATAL_ERROR "ompsuite: the floating-point probe cmake/fpprobe.cpp does not compile with "
                          "${SUITE_COMPILER} and the flags '${level_probe_flags}':\n${SUITE_FP_PROBE_BUILD}")
    endif()
    set(SUITE_FP_ADD "")
    set(SUITE_FP_FOUND "")
    if(SUITE_FP_PROBE_OUT MATCHES "contraction")
      list(APPEND SUITE_FP_FOUND "fuses a*b+c (contraction)")
      list(APPEND SUITE_FP_ADD ${SUITE_FP_CONTRACT_FLAG})
    endif()
    if(SUITE_FP_PROBE_OUT MATCHES "reassociation")
      list(APPEND SUITE_FP_FOUND "regroups sums (reassociation)")
      list(APPEND SUITE_FP_ADD ${SUITE_FP_ORDER_FLAG})
    endif()
    if(SUITE_FP_FOUND)
      list(JOIN SUITE_FP_FOUND " and " SUITE_FP_FOUND)
      list(JOIN SUITE_FP_ADD " " SUITE_FP_ADD)
      # The leading space keeps CMake from wrapping the line.
      message(FATAL_ERROR " ompsuite: ${SUITE_COMPILER} ${SUITE_FP_FOUND} under the flags "
                          "'${level_probe_flags}', so results would not be exact: add ${SUITE_FP_ADD} to "
                          "CMAKE_CXX_FLAGS")
    elseif(level AND NOT SUITE_FP_PROBE_RUN EQUAL 0)
      # A build host may lack a level it builds for (the probe stops on an unknown instruction).
      message(WARNING "ompsuite: this processor cannot run ${level} code, so the floating-point probe "
                      "was not run for that level (${SUITE_FP_PROBE_RUN}): configure on one that can to check it")
    elseif(NOT SUITE_FP_PROBE_RUN EQUAL 0)
      message(FATAL_ERROR "ompsuite: the floating-point probe failed to run (${SUITE_FP_PROBE_RUN}): "
                          "${SUITE_FP_PROBE_OUT}")
    else()
      message(STATUS "ompsuite: floating-point probe${level_label}: no contraction, no reassociation")
    endif()
  endforeach()
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

# What the tools build a user's own source with (--program NAME=SOURCE.cpp, --programs DIR;
# ompsuite/measure/sources.py): this compiler and every flag the suite's programs get, so that a
# student's program and the suite's differ in their code only. Warnings are shown, never made
# errors: a student's warning is worth reading, not a reason to leave the program out. C sources
# go through the same compiler driver as C (-x c), with the C standard in place of C++'s.
if(CMAKE_BUILD_TYPE)
  string(TOUPPER "${CMAKE_BUILD_TYPE}" SUITE_VARIANT_CONFIG)
else()
  set(SUITE_VARIANT_CONFIG RELEASE)
endif()
separate_arguments(SUITE_VARIANT_USER UNIX_COMMAND "${CMAKE_CXX_FLAGS} ${CMAKE_CXX_FLAGS_${SUITE_VARIANT_CONFIG}}")
separate_arguments(SUITE_VARIANT_OPENMP UNIX_COMMAND "${OpenMP_CXX_FLAGS}")
set(SUITE_VARIANT_WARN "")
if(SUITE_GNU_LIKE)
  set(SUITE_VARIANT_WARN -Wall -Wextra -Wpedantic)
endif()
set(SUITE_VARIANT_CXX_STD "${CMAKE_CXX17_STANDARD_COMPILE_OPTION}")
if(NOT SUITE_VARIANT_CXX_STD)
  set(SUITE_VARIANT_CXX_STD -std=c++17)
endif()
function(suite_json_list out)
  set(items "")
  foreach(item IN LISTS ARGN)
    string(REPLACE "\\" "\\\\" item "${item}")
    string(REPLACE "\"" "\\\"" item "${item}")
    list(APPEND items "\"${item}\"")
  endforeach()
  list(JOIN items ", " items)
  set(${out} "[${items}]" PARENT_SCOPE)
endfunction()
suite_json_list(SUITE_VARIANT_J_COMPILER "${CMAKE_CXX_COMPILER}" "${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION}")
suite_json_list(SUITE_VARIANT_J_COMMON ${SUITE_VARIANT_USER} ${SUITE_FP_FLAGS} ${SUITE_VARIANT_WARN}
                ${SUITE_ARCH_FLAGS} ${SUITE_SANITIZER_FLAGS} ${SUITE_VARIANT_OPENMP})
suite_json_list(SUITE_VARIANT_J_CXX ${SUITE_VARIANT_CXX_STD})
suite_json_list(SUITE_VARIANT_J_C -x c -std=c11)
suite_json_list(SUITE_VARIANT_J_LINK ${SUITE_VARIANT_OPENMP} ${SUITE_SANITIZER_FLAGS} ${OpenMP_CXX_LIBRARIES} -lm)
file(WRITE ${PROJECT_BINARY_DIR}/variant-build.json
     "{\"compiler\": ${SUITE_VARIANT_J_COMPILER},\n \"common\": ${SUITE_VARIANT_J_COMMON},\n"
     " \"cxx\": ${SUITE_VARIANT_J_CXX},\n \"c\": ${SUITE_VARIANT_J_C},\n \"link\": ${SUITE_VARIANT_J_LINK}}\n")
