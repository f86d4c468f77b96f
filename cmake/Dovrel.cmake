# Helpers that give every layer the same shape: one static library per folder of src/,
# one test binary per test folder, and the layer order read from src/LAYERS.

# DOVREL_LAYERS: the layers, lowest first. DOVREL_LAYER_RANK_<name>: a layer's place in
# that list. DOVREL_LAYER_ONLY_<name>: for a layer written "name: a b", the layers it may use.
file(STRINGS ${PROJECT_SOURCE_DIR}/src/LAYERS layer_lines REGEX "^[a-z]")
set(DOVREL_LAYERS)
set(rank 0)
foreach(line IN LISTS layer_lines)
  string(REGEX MATCH "^[a-z]+" layer "${line}")
  list(APPEND DOVREL_LAYERS ${layer})
  set(DOVREL_LAYER_RANK_${layer} ${rank})
  if(line MATCHES ":(.*)$")
    string(REGEX MATCHALL "[a-z]+" DOVREL_LAYER_ONLY_${layer} "${CMAKE_MATCH_1}")
  endif()
  math(EXPR rank "${rank} + 1")
endforeach()

# dovrel_library(NAME [SOURCES f.cpp ...] [DEPS target ...])
# Builds the static library dovrel_NAME from the listed sources, or from every .cpp in
# the current folder when none are listed. DEPS are the lower-layer libraries it uses; a
# layer's library that names a dovrel_ library of its own or a later layer is refused.
function(dovrel_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  if(ARG_SOURCES)
    set(srcs ${ARG_SOURCES})
  else()
    file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  endif()
  if(DEFINED DOVREL_LAYER_RANK_${name})
    foreach(dep IN LISTS ARG_DEPS)
      if(NOT dep MATCHES "^dovrel_(.+)$")
        continue()
      endif()
      set(used ${CMAKE_MATCH_1})
      if(NOT DEFINED DOVREL_LAYER_RANK_${used})
        message(FATAL_ERROR "dovrel_${name} links ${dep}, which is not a layer of src/LAYERS")
      endif()
      if(NOT DOVREL_LAYER_RANK_${used} LESS DOVREL_LAYER_RANK_${name})
        message(FATAL_ERROR "dovrel_${name} links ${dep}, a layer that is not below it")
      endif()
      if(DEFINED DOVREL_LAYER_ONLY_${name} AND NOT used IN_LIST DOVREL_LAYER_ONLY_${name})
        message(FATAL_ERROR "dovrel_${name} may use only ${DOVREL_LAYER_ONLY_${name}}")
      endif()
    endforeach()
  endif()
  add_library(dovrel_${name} STATIC ${srcs})
  target_include_directories(dovrel_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(dovrel_${name} PUBLIC ${ARG_DEPS})
endfunction()

# dovrel_test(NAME [SOURCES ...] [DEPS target ...] [LABEL unit|e2e|reliability])
# Builds NAME_tests from the listed sources (default: every .cpp in the folder), links it
# with the given libraries, the test-support library and GoogleTest, and registers each
# test case with CTest under LABEL: by default "e2e" or "reliability" in the folders of
# those names, else "unit". The target dovrel_unit_tests builds every unit-labelled binary
# (scripts/check.sh builds it and runs the unit tests).
if(NOT TARGET dovrel_unit_tests)
  add_custom_target(dovrel_unit_tests)
endif()
function(dovrel_test name)
  cmake_parse_arguments(ARG "" "LABEL" "SOURCES;DEPS" ${ARGN})
  if(ARG_SOURCES)
    set(srcs ${ARG_SOURCES})
  else()
    file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  endif()
  if(NOT ARG_LABEL)
    get_filename_component(folder ${CMAKE_CURRENT_SOURCE_DIR} NAME)
    if(folder STREQUAL "e2e" OR folder STREQUAL "reliability")
      set(ARG_LABEL ${folder})
    else()
      set(ARG_LABEL unit)
    endif()
  endif()
  if(NOT ARG_LABEL MATCHES "^(unit|e2e|reliability)$")
    message(FATAL_ERROR "dovrel_test(${name}): LABEL must be unit, e2e or reliability")
  endif()
  add_executable(${name}_tests ${srcs})
  target_include_directories(${name}_tests PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name}_tests PRIVATE ${ARG_DEPS} dovrel_testsupport GTest::gtest GTest::gtest_main Threads::Threads)
  set_target_properties(${name}_tests PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  gtest_discover_tests(${name}_tests DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "DOVREL_BIN_DIR=${CMAKE_BINARY_DIR}/bin" LABELS ${ARG_LABEL})
  if(ARG_LABEL STREQUAL "unit")
    add_dependencies(dovrel_unit_tests ${name}_tests)
  endif()
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
