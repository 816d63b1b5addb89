# Writes dist/ from the win64 and win32 builds: the signed driver packages, the attestation cabinets, the two
# setups, the zips and SHA256SUMS. Run by the "dist" target (packaging/CMakeLists.txt) with SOURCE_DIR, WIN64_DIR,
# WIN32_DIR, DIST_DIR, VERSION, MAKENSIS, GCAB, PYTHON, EPOCH (the release's date) and optionally ATTESTED_X64
# and ATTESTED_X86; the signer comes in the environment (QELM_SIGN_*: scripts/sign-code.sh).
#
# Every PE file in dist/ and in the setups is signed: the program's files as they are staged for the setup (any
# .exe, .dll or .sys in the stage: a new program needs only its line in setup_files below), the driver with its
# catalog (scripts/sign-driver.sh), the NSIS plugins the setup unpacks, and the setup and its uninstaller by
# makensis (!finalize, !uninstfinalize).
include(${CMAKE_CURRENT_LIST_DIR}/DistTools.cmake)

# Everything packed carries the release's date; the signatures carry it as their signing time.
set(ENV{SOURCE_DATE_EPOCH} ${EPOCH})
set(ENV{TZ} UTC)

file(REMOVE_RECURSE ${DIST_DIR})
file(MAKE_DIRECTORY ${DIST_DIR})

foreach(arch x64 x86)
  if(arch STREQUAL "x64")
    set(build ${WIN64_DIR})
  else()
    set(build ${WIN32_DIR})
  endif()
  foreach(file ${build}/app/Tavrelmond.exe ${build}/hidlib/XBMC.dll ${build}/driver/kernel/package/qelmrc.sys)
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
  run(${SOURCE_DIR}/scripts/sign-driver.sh --arch ${arch} ${package})
  dist_fix_times(${package})
  # The cabinet for Microsoft's attestation signing, from the package signed here; then, when the maintainer
  # names the package Microsoft returned, that one goes into the setup and dist/ instead.
  dist_attestation_cab(${DIST_DIR}/qelmrc-attestation-${arch}.cab ${package} qelmrc-${arch})
  string(TOUPPER ${arch} ARCH)
  if(ATTESTED_${ARCH})
    dist_use_attested(${ATTESTED_${ARCH}} ${package} ${ARCH})
    dist_fix_times(${package})
  endif()

  # The setup. The program's files are staged under their shipped names, signed there, and dated.
  set(stage ${DIST_DIR}/.stage-${arch})
  file(MAKE_DIRECTORY ${stage})
  set(setup_files
      ${build}/app/Tavrelmond.exe
      ${build}/hidlib/XBMC.dll
      ${SOURCE_DIR}/app/res/Config.ini)
  file(COPY ${setup_files} DESTINATION ${stage})
  dist_pe_files(programs ${stage})
  dist_sign(${programs})
  dist_fix_times(${stage})
  set(setup TavrelmondSetup-${VERSION}-${arch}.exe)
  message(STATUS "Building ${setup}")
  dist_nsis_signed_plugins(nsisdir ${DIST_DIR}/.nsis-${arch} ${arch})
  run(${CMAKE_COMMAND} -E env NSISDIR=${nsisdir} ${MAKENSIS} -V2 -NOCD
      -DARCH=${arch} -DVERSION=${VERSION}
      -DAPP_DIR=${stage}
      -DCONFIG_INI=${stage}/Config.ini
      -DDRIVER_DIR=${package}
      -DICON=${SOURCE_DIR}/app/res/normal.ico
      -DOUTFILE=${DIST_DIR}/${setup}
      -DSIGN_SCRIPT=${SOURCE_DIR}/scripts/sign-code.sh
      ${SOURCE_DIR}/packaging/nsis/Tavrelmond.nsi)
  file(REMOVE_RECURSE ${stage} ${DIST_DIR}/.nsis-${arch})

  dist_zip(${DIST_DIR}/qelmrc-${arch}.zip ${DIST_DIR} qelmrc-${arch})
endforeach()

dist_sums(${DIST_DIR})
file(GLOB written RELATIVE ${DIST_DIR} ${DIST_DIR}/*)
list(SORT written)
list(JOIN written ", " written)
message(STATUS "dist/ (${DIST_DIR}): ${written}")
