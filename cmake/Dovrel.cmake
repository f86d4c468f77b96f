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
