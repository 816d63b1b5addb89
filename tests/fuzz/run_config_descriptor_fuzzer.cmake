# Builds the configuration-descriptor fuzzer with clang and runs it for RUNS executions from the seeds.
# Called by the fuzz_config_descriptor test with CLANGXX, SOURCE_DIR, WORK_DIR and RUNS.
set(driver ${SOURCE_DIR}/driver)
file(GLOB hostkernel ${driver}/hostkernel/*.cpp)
set(sources ${hostkernel} ${driver}/qelm_usb.cpp ${SOURCE_DIR}/tests/fuzz/config_descriptor_fuzzer.cpp)
set(fuzzer ${WORK_DIR}/config_descriptor_fuzzer)
file(MAKE_DIRECTORY ${WORK_DIR}/corpus)

execute_process(
  COMMAND ${CLANGXX} -std=c++20 -g -O1 -Wall -Wextra -Werror
          -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
          -DQELM_HOST_KERNEL=1
          -I${driver}/hostkernel/include -I${driver} -I${SOURCE_DIR}/tests/unit/driver_usb
          ${sources} -pthread -o ${fuzzer}
  RESULT_VARIABLE built)
if(NOT built EQUAL 0)
  message(FATAL_ERROR "building the fuzzer failed")
endif()

execute_process(
  COMMAND ${fuzzer} -runs=${RUNS} -seed=1 -max_len=1024 -print_final_stats=1
          ${WORK_DIR}/corpus ${SOURCE_DIR}/tests/fuzz/config_descriptor_seeds
  WORKING_DIRECTORY ${WORK_DIR}
  RESULT_VARIABLE ran)
if(NOT ran EQUAL 0)
  message(FATAL_ERROR "the fuzzer found a fault (exit ${ran}); the input is in ${WORK_DIR}")
endif()
