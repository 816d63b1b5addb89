# Builds one libFuzzer target with clang and runs it for RUNS executions from its seeds.
# Called by the fuzz tests (see CMakeLists.txt) with CLANGXX, NAME, SOURCES and FLAGS ("|"-separated lists),
# MAX_LEN, SEEDS, WORK_DIR and RUNS.
string(REPLACE "|" ";" sources "${SOURCES}")
string(REPLACE "|" ";" flags "${FLAGS}")
set(fuzzer ${WORK_DIR}/${NAME})
file(MAKE_DIRECTORY ${WORK_DIR}/corpus)

execute_process(
  COMMAND ${CLANGXX} -std=c++20 -g -O1 -Wall -Wextra -Werror
          -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
          ${flags} ${sources} -o ${fuzzer}
  RESULT_VARIABLE built)
if(NOT built EQUAL 0)
  message(FATAL_ERROR "building the fuzzer failed")
endif()

execute_process(
  COMMAND ${fuzzer} -runs=${RUNS} -seed=1 -max_len=${MAX_LEN} -print_final_stats=1 ${WORK_DIR}/corpus ${SEEDS}
  WORKING_DIRECTORY ${WORK_DIR}
  RESULT_VARIABLE ran)
if(NOT ran EQUAL 0)
  message(FATAL_ERROR "the fuzzer found a fault (exit ${ran}); the input is in ${WORK_DIR}")
endif()
