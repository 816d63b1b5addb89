# Builds the Kodi reply fuzzer with clang and runs it for RUNS executions from the seeds.
# Called by the fuzz_kodi_reply test with CLANGXX, SOURCE_DIR, WORK_DIR and RUNS.
set(app ${SOURCE_DIR}/app)
set(fuzzer ${WORK_DIR}/kodi_reply_fuzzer)
file(MAKE_DIRECTORY ${WORK_DIR}/corpus)

execute_process(
  COMMAND ${CLANGXX} -std=c++20 -g -O1 -Wall -Wextra -Werror
          -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
          -I${app} ${app}/kodi/HttpReply.cpp ${app}/kodi/JsonReply.cpp
          ${SOURCE_DIR}/tests/fuzz/kodi_reply_fuzzer.cpp -o ${fuzzer}
  RESULT_VARIABLE built)
if(NOT built EQUAL 0)
  message(FATAL_ERROR "building the fuzzer failed")
endif()

execute_process(
  COMMAND ${fuzzer} -runs=${RUNS} -seed=1 -max_len=4096 -print_final_stats=1
          ${WORK_DIR}/corpus ${SOURCE_DIR}/tests/fuzz/kodi_reply_seeds
  WORKING_DIRECTORY ${WORK_DIR}
  RESULT_VARIABLE ran)
if(NOT ran EQUAL 0)
  message(FATAL_ERROR "the fuzzer found a fault (exit ${ran}); the input is in ${WORK_DIR}")
endif()
