# Shared build settings and helpers for all modules.

set(QM_WARNINGS -Wall -Wextra -Wno-unused-parameter -Wno-missing-field-initializers)
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  list(APPEND QM_WARNINGS -Wthread-safety)
endif()
if(QM_WERROR)
  list(APPEND QM_WARNINGS -Werror)
endif()

if(QM_SANITIZE)
  add_compile_options(-fsanitize=${QM_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${QM_SANITIZE})
endif()

# In the fuzz build every library carries coverage instrumentation, so that
# libFuzzer is guided by the code under test and not only by the target.
if(QM_BUILD_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
  add_compile_definitions(QM_KEEP_MODULES_LOADED)
endif()

find_package(Threads REQUIRED)

# qm_library(NAME <target> [SHARED|STATIC] SOURCES ... [LIBS ...] [OUTPUT <file base name>])
function(qm_library)
  cmake_parse_arguments(A "SHARED;STATIC;MODULE" "NAME;OUTPUT" "SOURCES;LIBS;PUBLIC_LIBS" ${ARGN})
  if(A_SHARED)
    add_library(${A_NAME} SHARED ${A_SOURCES})
  elseif(A_MODULE)
    add_library(${A_NAME} MODULE ${A_SOURCES})
  else()
    add_library(${A_NAME} STATIC ${A_SOURCES})
  endif()
  target_compile_options(${A_NAME} PRIVATE ${QM_WARNINGS})
  target_include_directories(${A_NAME} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${A_NAME} PRIVATE ${A_LIBS} PUBLIC ${A_PUBLIC_LIBS})
  if(A_OUTPUT)
    set_target_properties(${A_NAME} PROPERTIES OUTPUT_NAME ${A_OUTPUT})
  endif()
endfunction()

# A test's TIMEOUT only tells a hang from a slow run: no verdict depends on how
# long a run takes (timed behaviour runs on the virtual clock, host processes
# are waited for by their events). A sanitized build runs several times
# slower than a plain one, and a machine whose cores are all busy stretches
# every run again, so the bounds below (set for a plain build) are multiplied
# by QM_TEST_TIMEOUT_FACTOR.
if(QM_SANITIZE)
  set(QM_TEST_TIMEOUT_FACTOR 4 CACHE STRING "Multiplier of the tests' hang bounds")
else()
  set(QM_TEST_TIMEOUT_FACTOR 1 CACHE STRING "Multiplier of the tests' hang bounds")
endif()

# qm_test(NAME <test> SOURCES ... [LIBS ...] [ENV VAR=VALUE ...] [TIMEOUT seconds]
#         [PARTS part=FILTER ...])
# One executable per test unit; registered with CTest as a whole so that the
# sanitizer build doesn't pay for test discovery. With PARTS, a long unit is
# registered as one CTest test per part instead (<test>_<part>, running the
# tests that match the gtest FILTER), so that its parts run side by side.
function(qm_test)
  if(NOT QM_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(A "" "NAME;TIMEOUT" "SOURCES;LIBS;ENV;PARTS" ${ARGN})
  add_executable(${A_NAME} ${A_SOURCES})
  target_compile_options(${A_NAME} PRIVATE ${QM_WARNINGS})
  target_include_directories(${A_NAME} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${A_NAME} PRIVATE ${A_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  target_compile_definitions(${A_NAME} PRIVATE
    QM_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    QM_BINARY_DIR="${CMAKE_BINARY_DIR}"
    QM_TESTDATA_DIR="${PROJECT_SOURCE_DIR}/../shared/testdata")
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT 600)
  endif()
  math(EXPR A_TIMEOUT "${A_TIMEOUT} * ${QM_TEST_TIMEOUT_FACTOR}")
  set(tests ${A_NAME})
  if(A_PARTS)
    set(tests "")
    foreach(part IN LISTS A_PARTS)
      string(REGEX MATCH "^[^=]+" part_name "${part}")
      string(REGEX REPLACE "^[^=]+=" "" part_filter "${part}")
      add_test(NAME ${A_NAME}_${part_name} COMMAND ${A_NAME} --gtest_filter=${part_filter})
      list(APPEND tests ${A_NAME}_${part_name})
    endforeach()
  else()
    add_test(NAME ${A_NAME} COMMAND ${A_NAME})
  endif()
  if(QM_SANITIZE)
    # Leaks of the system libraries the drawing uses are not ours to fix.
    list(APPEND A_ENV "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tools/lsan.supp")
  endif()
  set_tests_properties(${tests} PROPERTIES TIMEOUT ${A_TIMEOUT} ENVIRONMENT "${A_ENV}")
endfunction()

# qm_fuzz(NAME <target> SOURCES ... [LIBS ...]): a libFuzzer target, built only with QM_BUILD_FUZZ.
function(qm_fuzz)
  if(NOT QM_BUILD_FUZZ)
    return()
  endif()
  cmake_parse_arguments(A "" "NAME" "SOURCES;LIBS" ${ARGN})
  add_executable(${A_NAME} ${A_SOURCES})
  target_compile_options(${A_NAME} PRIVATE ${QM_WARNINGS} -fsanitize=fuzzer)
  target_link_options(${A_NAME} PRIVATE -fsanitize=fuzzer)
  target_include_directories(${A_NAME} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${A_NAME} PRIVATE ${A_LIBS})
endfunction()
