# qelm_wine_script(GROUP name SCRIPT file [ARGS ...]): one ctest test per case of a Wine test script
# (tests/wine/winetest.py). The cases come from the script itself (SCRIPT --list, run here at configure
# time), named LABEL.GROUP.CASE after the case's first label; each test runs the script with the shared
# command line, its files in wine-work/GROUP of the build folder, ARGS added. The script is a configure
# dependency: a case added to it is registered at the next build. Cases labelled bench are registered only
# where QELM_BENCHMARKS is on (tests/CMakeLists.txt).
function(qelm_wine_script)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "GROUP;SCRIPT" "ARGS")
  if(NOT Python3_Interpreter_FOUND)
    message(WARNING "no Python 3: the Wine tests of ${arg_GROUP} are not registered")
    return()
  endif()
  get_filename_component(script ${arg_SCRIPT} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${script}
                                                                 ${PROJECT_SOURCE_DIR}/tests/wine/winetest.py)
  execute_process(COMMAND ${Python3_EXECUTABLE} ${script} --list
                  OUTPUT_VARIABLE listing RESULT_VARIABLE result ERROR_VARIABLE errors)
  if(NOT result EQUAL 0 OR listing STREQUAL "")
    message(FATAL_ERROR "${script} --list failed (${result}): ${errors}")
  endif()
  set(dirs)
  if(QELM_WIN64_DIR)
    list(APPEND dirs --win64-dir ${QELM_WIN64_DIR})
  endif()
  if(QELM_WIN32_DIR)
    list(APPEND dirs --win32-dir ${QELM_WIN32_DIR})
  endif()
  string(STRIP "${listing}" listing)
  string(REPLACE "\n" ";" lines "${listing}")
  foreach(line IN LISTS lines)
    # name|labels|timeout|lock, the labels separated by commas.
    string(REGEX MATCH "^([^|]*)\\|([^|]*)\\|([^|]*)\\|([^|]*)$" matched "${line}")
    if(NOT matched)
      message(FATAL_ERROR "${script} --list: a line that is no case: ${line}")
    endif()
    set(name ${CMAKE_MATCH_1})
    string(REPLACE "," ";" labels "${CMAKE_MATCH_2}")
    set(timeout ${CMAKE_MATCH_3})
    set(lock ${CMAKE_MATCH_4})
    list(GET labels 0 first)
    if("bench" IN_LIST labels AND NOT QELM_BENCHMARKS)
      continue() # benchmarks belong to the optimized build
    endif()
    set(test ${first}.${arg_GROUP}.${name})
    add_test(NAME ${test}
             COMMAND ${Python3_EXECUTABLE} ${script} ${dirs} --build ${CMAKE_BINARY_DIR}
                     --work ${CMAKE_BINARY_DIR}/wine-work/${arg_GROUP} ${arg_ARGS} ${name})
    set_tests_properties(${test} PROPERTIES LABELS "${labels}" TIMEOUT ${timeout})
    if(lock)
      set_tests_properties(${test} PROPERTIES RESOURCE_LOCK ${lock})
    endif()
  endforeach()
endfunction()
