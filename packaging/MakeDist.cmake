# Writes dist/ from the win64 and win32 builds: the signed driver packages, the two setups and the zips.
# The setups also carry the WinUSB package's INF and its install program, qelmdrv.exe.
# Run by the "dist" target (packaging/CMakeLists.txt) with SOURCE_DIR, WIN64_DIR, WIN32_DIR, DIST_DIR,
# VERSION, MAKENSIS, CERT_DIR, DRIVERCAT (the catalog tool) and optionally CERT and KEY.
include(${CMAKE_CURRENT_LIST_DIR}/WinUsbInf.cmake)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    list(JOIN ARGN " " command)
    message(FATAL_ERROR "failed (${result}): ${command}")
  endif()
endfunction()

file(REMOVE_RECURSE ${DIST_DIR})
file(MAKE_DIRECTORY ${DIST_DIR})

if(CERT AND KEY)
  set(signing --cert ${CERT} --key ${KEY})
else()
  set(signing --cert-dir ${CERT_DIR})
endif()

foreach(arch x64 x86)
  if(arch STREQUAL "x64")
    set(build ${WIN64_DIR})
  else()
    set(build ${WIN32_DIR})
  endif()
  foreach(file ${build}/app/Tavrelmond.exe ${build}/hidlib/XBMC.dll ${build}/driver/kernel/package/qelmrc.sys
               ${build}/packaging/installer/qelmdrv.exe)
    if(NOT EXISTS ${file})
      message(FATAL_ERROR "missing ${file}: build the win64 and win32 presets first")
    endif()
  endforeach()

  # The driver package, signed.
  set(package ${DIST_DIR}/qelmrc-${arch})
  file(MAKE_DIRECTORY ${package})
  file(COPY ${build}/driver/kernel/package/qelmrc.inf ${build}/driver/kernel/package/qelmrc.sys
       DESTINATION ${package})
  message(STATUS "Signing the ${arch} driver package")
  run(${SOURCE_DIR}/scripts/sign-driver.sh --arch ${arch} ${signing} --drivercat ${DRIVERCAT} ${package})

  # The setup. The program's files are staged under their shipped names.
  set(stage ${DIST_DIR}/.stage-${arch})
  file(MAKE_DIRECTORY ${stage})
  file(COPY ${build}/app/Tavrelmond.exe ${build}/hidlib/XBMC.dll DESTINATION ${stage})
  set(winusb ${DIST_DIR}/.winusb-${arch})
  qelm_winusb_inf(SOURCE_DIR ${SOURCE_DIR} OUT ${winusb}/qelmusb.inf)
  file(COPY ${build}/packaging/installer/qelmdrv.exe DESTINATION ${winusb})
  message(STATUS "Building TavrelmondSetup-${arch}.exe")
  run(${MAKENSIS} -V2 -NOCD
      -DARCH=${arch} -DVERSION=${VERSION}
      -DAPP_DIR=${stage}
      -DCONFIG_INI=${SOURCE_DIR}/app/res/Config.ini
      -DDRIVER_DIR=${package}
      -DWINUSB_DIR=${winusb}
      -DICON=${SOURCE_DIR}/app/res/normal.ico
      -DOUTFILE=${DIST_DIR}/TavrelmondSetup-${arch}.exe
      ${SOURCE_DIR}/packaging/nsis/Tavrelmond.nsi)
  file(REMOVE_RECURSE ${stage} ${winusb})

  execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf qelmrc-${arch}.zip --format=zip qelmrc-${arch}
                  WORKING_DIRECTORY ${DIST_DIR} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "zipping qelmrc-${arch} failed")
  endif()
endforeach()

file(GLOB written RELATIVE ${DIST_DIR} ${DIST_DIR}/*)
list(SORT written)
list(JOIN written ", " written)
message(STATUS "dist/ (${DIST_DIR}): ${written}")
