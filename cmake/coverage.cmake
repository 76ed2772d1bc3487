# SPDX-License-Identifier: MIT
# Line and branch coverage of src/ by the whole test suite (gcc --coverage,
# gcovr). The coverage_report target prints both, per file, and fails when
# fewer than KVF_COVERAGE_MIN_LINES percent of the lines of src/ ran.
set(KVF_COVERAGE_MIN_LINES 95 CACHE STRING "Least line coverage of src/, in percent")
find_program(KVF_GCOVR gcovr REQUIRED)
set(gcovr_common ${KVF_GCOVR} --root ${PROJECT_SOURCE_DIR} --filter ${PROJECT_SOURCE_DIR}/src/
    --object-directory ${CMAKE_BINARY_DIR} --exclude-throw-branches --exclude-unreachable-branches)
# Every build starts the counts afresh, so that a report shows one run of the
# suite. Each count file is made anew, empty and writable by all, so that the
# runs of the tool as another user (nobody) add theirs where they can reach it.
add_custom_target(coverage_reset ALL
  COMMAND find ${CMAKE_BINARY_DIR} -name "*.gcda" -delete
  COMMAND find ${CMAKE_BINARY_DIR} -name "*.gcno" -exec sh -c
          "for notes; do : > \"\${notes%.gcno}.gcda\" && chmod 666 \"\${notes%.gcno}.gcda\"; done" sh {} +
  COMMENT "Clearing earlier coverage counts"
  VERBATIM)
add_custom_target(coverage_report
  COMMAND ${gcovr_common} --branches --txt
  COMMAND ${gcovr_common} --txt --fail-under-line ${KVF_COVERAGE_MIN_LINES}
  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
  COMMENT "Coverage of src/ by the tests: branches, then lines (at least ${KVF_COVERAGE_MIN_LINES} %)"
  VERBATIM)
