# Helpers of packaging/MakeDist.cmake (cmake -P): signing, fixed file dates, zips, the attestation cabinet and
# the Microsoft-signed driver package. They read SOURCE_DIR, SOURCE_DATE_EPOCH (set by MakeDist from the
# release's date) and the signer in the environment (QELM_SIGN_*: scripts/sign-code.sh).

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    list(JOIN ARGN " " command)
    message(FATAL_ERROR "failed (${result}): ${command}")
  endif()
endfunction()

# dist_sign(<file>...): Authenticode-signs each file in place and checks it (scripts/sign-code.sh).
function(dist_sign)
  if(ARGN)
    run(${SOURCE_DIR}/scripts/sign-code.sh ${ARGN})
  endif()
endfunction()

# dist_pe_files(<var> <folder>): the PE files (.exe, .dll, .sys) directly in <folder>, sorted.
function(dist_pe_files var folder)
  file(GLOB found LIST_DIRECTORIES false ${folder}/*.exe ${folder}/*.dll ${folder}/*.sys)
  list(SORT found)
  set(${var} ${found} PARENT_SCOPE)
endfunction()

# dist_fix_times(<path>...): the release's date on each file and folder (recursively) and fixed permissions,
# so that what is packed from them (setups, zips, cabinets) does not depend on when or by whom it was built.
function(dist_fix_times)
  foreach(path ${ARGN})
    run(chmod -R u=rwX,go=rX ${path})
    run(find ${path} -exec touch -h -d @$ENV{SOURCE_DATE_EPOCH} {} +)
  endforeach()
endfunction()

# dist_zip(<zip> <base> <folder>): <base>/<folder> zipped in a fixed order with fixed dates.
function(dist_zip zip base folder)
  run(${PYTHON} ${SOURCE_DIR}/packaging/zipfolder.py --out ${zip} --base ${base} ${folder})
endfunction()

# dist_attestation_cab(<cab> <package folder> <folder name>): the cabinet Microsoft's hardware portal signs: one
# folder <folder name> holding the package's INF, driver and catalog, nothing at the root; then signed with the
# release's certificate.
function(dist_attestation_cab cab package name)
  get_filename_component(stage ${cab} DIRECTORY)
  set(stage ${stage}/.cab-${name})
  file(REMOVE_RECURSE ${stage})
  file(MAKE_DIRECTORY ${stage}/${name})
  set(members "")
  foreach(file qelmrc.inf qelmrc.sys qelmrc.cat)
    file(COPY ${package}/${file} DESTINATION ${stage}/${name})
    list(APPEND members ${name}/${file})
  endforeach()
  dist_fix_times(${stage})
  execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC ${GCAB} --create --zip ${cab} ${members}
                  WORKING_DIRECTORY ${stage} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "gcab could not write ${cab}")
  endif()
  file(REMOVE_RECURSE ${stage})
  dist_sign(${cab})
endfunction()

# dist_use_attested(<returned folder> <package folder> <arch>): puts the driver package Microsoft signed in place of
# the package signed here. The returned folder must hold qelmrc.inf, qelmrc.sys and qelmrc.cat, and its
# qelmrc.sys must be this build's (the same Authenticode digest as the one in <package folder>): a package of
# another build or release is refused. It is not signed again (that would replace Microsoft's signature).
function(dist_use_attested returned package arch)
  foreach(file qelmrc.inf qelmrc.sys qelmrc.cat)
    if(NOT EXISTS ${returned}/${file})
      message(FATAL_ERROR "QELM_ATTESTED_DRIVER_${arch}: ${returned} has no ${file}; name the folder of the "
                          "returned package that holds qelmrc.inf (docs/RELEASING.md)")
    endif()
  endforeach()
  foreach(which built returned)
    if(which STREQUAL "built")
      set(sys ${package}/qelmrc.sys)
    else()
      set(sys ${returned}/qelmrc.sys)
    endif()
    set(out ${package}/../.digest-${arch}-${which}.der)
    file(REMOVE ${out})
    execute_process(COMMAND osslsigncode extract-data -h sha256 -in ${sys} -out ${out}
                    OUTPUT_QUIET ERROR_QUIET RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "QELM_ATTESTED_DRIVER_${arch}: ${sys} is not a driver image osslsigncode can read")
    endif()
    file(SHA256 ${out} digest_${which})
    file(REMOVE ${out})
  endforeach()
  if(NOT digest_built STREQUAL digest_returned)
    message(FATAL_ERROR "QELM_ATTESTED_DRIVER_${arch}: the qelmrc.sys in ${returned} is not this build's "
                        "(another commit or release was submitted); submit this release's cabinet")
  endif()
  file(REMOVE_RECURSE ${package})
  file(MAKE_DIRECTORY ${package})
  file(COPY ${returned}/qelmrc.inf ${returned}/qelmrc.sys ${returned}/qelmrc.cat DESTINATION ${package})
  message(STATUS "The ${arch} driver package is the one Microsoft signed (${returned})")
endfunction()

# dist_sums(<dist>): SHA256SUMS in <dist>: every file under it but itself, sorted, in sha256sum's format.
function(dist_sums dist)
  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${dist} ${dist}/*)
  list(REMOVE_ITEM files SHA256SUMS)
  list(SORT files)
  set(text "")
  foreach(file ${files})
    file(SHA256 ${dist}/${file} hash)
    string(APPEND text "${hash}  ${file}\n")
  endforeach()
  file(WRITE ${dist}/SHA256SUMS "${text}")
endfunction()

# dist_nsis_signed_plugins(<var> <stage> <arch>): a copy of makensis's data folder in <stage> whose plugin DLLs
# for <arch> are signed; <var> is set to it, for makensis's NSISDIR. The setup unpacks the plugins it uses
# (System, nsExec, nsDialogs...) and loads them: they are PE files in the setup too.
function(dist_nsis_signed_plugins var stage arch)
  execute_process(COMMAND ${MAKENSIS} -HDRINFO OUTPUT_VARIABLE info RESULT_VARIABLE result)
  if(NOT result EQUAL 0 OR NOT info MATCHES "NSISDIR=([^,\n]+)")
    message(FATAL_ERROR "makensis -HDRINFO does not name its data folder (NSISDIR)")
  endif()
  set(nsisdir ${CMAKE_MATCH_1})
  if(DEFINED ENV{NSISDIR} AND NOT "$ENV{NSISDIR}" STREQUAL "")
    set(nsisdir $ENV{NSISDIR})
  endif()
  if(arch STREQUAL "x64")
    set(plugins amd64-unicode)
  else()
    set(plugins x86-unicode)
  endif()
  file(REMOVE_RECURSE ${stage}/nsis)
  file(COPY ${nsisdir}/ DESTINATION ${stage}/nsis)
  file(GLOB dlls ${stage}/nsis/Plugins/${plugins}/*.dll)
  list(SORT dlls)
  if(NOT dlls)
    message(FATAL_ERROR "no NSIS plugins in ${nsisdir}/Plugins/${plugins}")
  endif()
  dist_sign(${dlls})
  dist_fix_times(${stage}/nsis/Plugins/${plugins})
  set(${var} ${stage}/nsis PARENT_SCOPE)
endfunction()
