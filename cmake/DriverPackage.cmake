# qelm_driver_package(TARGET <driver> INF <file.inf> OS <catalog OS attribute> HWID <hardware ID>):
# after <driver> is built, writes <build folder>/package/ with the INF, <driver>.sys and an unsigned catalog
# (<driver>.cat) that lists both by digest. This is the folder Windows, or Wine's setupapi, installs from;
# the release packaging signs the .sys and makes the catalog again, signed (scripts/sign-driver.sh).
function(qelm_driver_package)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "TARGET;INF;OS;HWID" "")
  find_program(QELM_OSSLSIGNCODE osslsigncode REQUIRED)
  find_package(Python3 COMPONENTS Interpreter REQUIRED)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/package)
  set(catalog ${dir}/${arg_TARGET}.cat)
  set(tool ${PROJECT_SOURCE_DIR}/packaging/drivercat.py)
  get_filename_component(inf_name ${arg_INF} NAME)
  # The package's INF: the source's, with the release's date and version in DriverVer.
  set(stamped_inf ${CMAKE_CURRENT_BINARY_DIR}/stamped/${inf_name})
  qelm_stamp_inf(${arg_INF} ${stamped_inf})
  set(arg_INF ${stamped_inf})
  add_custom_command(
    OUTPUT ${catalog}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${dir}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
    COMMAND ${CMAKE_COMMAND} -E copy ${arg_INF} ${dir}/${inf_name}
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${arg_TARGET}> ${dir}/
    COMMAND ${CMAKE_COMMAND} -E rm -f ${CMAKE_CURRENT_BINARY_DIR}/${arg_TARGET}-indirect.der
    COMMAND ${QELM_OSSLSIGNCODE} extract-data -h sha1 -in ${dir}/$<TARGET_FILE_NAME:${arg_TARGET}>
            -out ${CMAKE_CURRENT_BINARY_DIR}/${arg_TARGET}-indirect.der > /dev/null
    COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${QELM_SOURCE_DATE_EPOCH}
            ${Python3_EXECUTABLE} ${tool} make --out ${catalog} --os ${arg_OS} --hwid ${arg_HWID}
            --pe $<TARGET_FILE_NAME:${arg_TARGET}>=${CMAKE_CURRENT_BINARY_DIR}/${arg_TARGET}-indirect.der
            --flat ${dir}/${inf_name} > /dev/null
    COMMAND ${CMAKE_COMMAND} -E rm -f ${CMAKE_CURRENT_BINARY_DIR}/${arg_TARGET}-indirect.der
    DEPENDS ${arg_TARGET} ${arg_INF} ${tool}
    COMMENT "Driver package ${dir} (unsigned catalog)"
    VERBATIM)
  add_custom_target(${arg_TARGET}_package ALL DEPENDS ${catalog})
endfunction()

# qelm_stamp_inf(<source INF> <output>): writes the INF with its DriverVer line set to the release's date and
# version (QELM_RELEASE_DATE_INF, QELM_VERSION_QUAD from cmake/Release.cmake); configure runs again when the
# source changes. An INF without a DriverVer line is an error.
function(qelm_stamp_inf source output)
  file(READ ${source} text)
  set(line_pattern "(^|\n)DriverVer[ \t]*=[^\r\n]*")
  if(NOT text MATCHES "${line_pattern}")
    message(FATAL_ERROR "${source} has no DriverVer line")
  endif()
  string(REGEX REPLACE "${line_pattern}" "\\1DriverVer   = ${QELM_RELEASE_DATE_INF},${QELM_VERSION_QUAD}"
         stamped "${text}")
  file(WRITE ${output}.tmp "${stamped}")
  configure_file(${output}.tmp ${output} COPYONLY)
  file(REMOVE ${output}.tmp)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
endfunction()
