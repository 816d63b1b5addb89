# qelm_driver_package(TARGET <driver> INF <file.inf> OS <catalog OS attribute> HWID <hardware ID>):
# after <driver> is built, writes <build folder>/package/ with the INF, <driver>.sys and an unsigned catalog
# (<driver>.cat) that lists both by digest. This is the folder Windows, or Wine's setupapi, installs from;
# the release packaging signs the .sys and makes the catalog again, signed (scripts/sign-driver.sh).
include(ExternalProject)

# qelm_host_drivercat(<variable>): the catalog tool (packaging/catalog) for the build machine, built with
# its own compiler; <variable> is set to the program's path, and the target qelm_host_drivercat builds it.
function(qelm_host_drivercat out)
  set(dir ${CMAKE_BINARY_DIR}/host-tools/drivercat)
  if(NOT TARGET qelm_host_drivercat)
    ExternalProject_Add(qelm_host_drivercat
      SOURCE_DIR ${PROJECT_SOURCE_DIR}/packaging/catalog
      BINARY_DIR ${dir}
      CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release
      BUILD_COMMAND ${CMAKE_COMMAND} --build ${dir} --target drivercat
      BUILD_ALWAYS ON
      INSTALL_COMMAND ""
      BUILD_BYPRODUCTS ${dir}/drivercat)
  endif()
  set(${out} ${dir}/drivercat PARENT_SCOPE)
endfunction()

# qelm_drivercat(<program variable> <dependencies variable>): the catalog tool for a custom command, and what
# the command depends on: the build machine's own copy in a cross build (qelm_host_drivercat), the drivercat
# target in a native one.
function(qelm_drivercat program depends)
  if(CMAKE_CROSSCOMPILING)
    qelm_host_drivercat(tool)
    set(${program} ${tool} PARENT_SCOPE)
    set(${depends} qelm_host_drivercat ${tool} PARENT_SCOPE)
  else()
    set(${program} $<TARGET_FILE:drivercat> PARENT_SCOPE)
    set(${depends} drivercat PARENT_SCOPE)
  endif()
endfunction()

function(qelm_driver_package)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "TARGET;INF;OS;HWID" "")
  find_program(QELM_OSSLSIGNCODE osslsigncode REQUIRED)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/package)
  set(catalog ${dir}/${arg_TARGET}.cat)
  qelm_host_drivercat(tool)
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
            ${tool} make --out ${catalog} --os ${arg_OS} --hwid ${arg_HWID}
            --pe $<TARGET_FILE_NAME:${arg_TARGET}>=${CMAKE_CURRENT_BINARY_DIR}/${arg_TARGET}-indirect.der
            --flat ${dir}/${inf_name} > /dev/null
    COMMAND ${CMAKE_COMMAND} -E rm -f ${CMAKE_CURRENT_BINARY_DIR}/${arg_TARGET}-indirect.der
    DEPENDS ${arg_TARGET} ${arg_INF} qelm_host_drivercat ${tool}
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
