# Helpers that give every subsystem the same shape: one static library per folder,
# one test binary per test folder.

# dovrel_library(NAME [SOURCES f.cpp ...] [DEPS target ...])
# Builds the static library dovrel_NAME from the listed sources, or from every .cpp in
# the current folder when none are listed. DEPS are the lower-layer libraries it uses.
function(dovrel_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  if(ARG_SOURCES)
    set(srcs ${ARG_SOURCES})
  else()
    file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  endif()
  if(NOT srcs)
    # A subsystem whose sources are not written yet: headers only.
    add_library(dovrel_${name} INTERFACE)
    target_include_directories(dovrel_${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(dovrel_${name} INTERFACE ${ARG_DEPS})
    return()
  endif()
  add_library(dovrel_${name} STATIC ${srcs})
  target_include_directories(dovrel_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(dovrel_${name} PUBLIC ${ARG_DEPS})
endfunction()

# dovrel_test(NAME [SOURCES ...] [DEPS target ...])
# Builds NAME_tests from the listed sources (default: every .cpp in the folder), links it
# with the given libraries and GoogleTest, and registers each test case with CTest.
function(dovrel_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  if(ARG_SOURCES)
    set(srcs ${ARG_SOURCES})
  else()
    file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  endif()
  if(NOT srcs)
    return()
  endif()
  add_executable(${name}_tests ${srcs})
  target_include_directories(${name}_tests PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name}_tests PRIVATE ${ARG_DEPS} GTest::gtest GTest::gtest_main Threads::Threads)
  set_target_properties(${name}_tests PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  gtest_discover_tests(${name}_tests DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "DOVREL_BIN_DIR=${CMAKE_BINARY_DIR}/bin")
endfunction()

# The fuzz configuration (DOVREL_FUZZ, clang only): every library is instrumented for
# coverage with -fsanitize=fuzzer-no-link and checked by AddressSanitizer and UBSan; each
# fuzz target adds the fuzzer's own main. Configure it in a build directory of its own
# (scripts/fuzz.sh uses build-fuzz); the normal g++ build never sees these flags.
if(DOVREL_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "DOVREL_FUZZ needs clang++ (configure with -DCMAKE_CXX_COMPILER=clang++)")
  endif()
  # clang does not announce AddressSanitizer the way g++ does; the pools poison what they
  # keep for reuse only when they see this macro (foundation/SanitizerHooks.h).
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined -D__SANITIZE_ADDRESS__=1)
  add_link_options(-fsanitize=address,undefined)
endif()

# dovrel_fuzz_target(NAME SOURCES f.cpp ... [DEPS target ...])
# Builds the libFuzzer program NAME_fuzz in ${CMAKE_BINARY_DIR}/fuzz. The targets share
# FuzzSupport.cpp, which turns a fatal assertion into an abort the fuzzer records.
function(dovrel_fuzz_target name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name}_fuzz ${ARG_SOURCES} ${PROJECT_SOURCE_DIR}/tests/fuzz/FuzzSupport.cpp)
  target_include_directories(${name}_fuzz PRIVATE ${PROJECT_SOURCE_DIR}/src
                             ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name}_fuzz PRIVATE ${ARG_DEPS} Threads::Threads)
  # --wrap=_Exit sends the fatal stop's _Exit(3) to FuzzSupport.cpp.
  target_link_options(${name}_fuzz PRIVATE -fsanitize=fuzzer -Wl,--wrap=_Exit)
  set_target_properties(${name}_fuzz PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
endfunction()
