# qelm_windows_manifest(TARGET <program> [NAME <identity>] [VERSION <a.b.c.d>] [DESCRIPTION <text>]):
# embeds the application manifest every Windows program of ours carries (Tavrelmond.exe, the WinUSB install
# program): it runs as the user who starts it (asInvoker: no elevation prompt, no file or registry
# virtualization), declares the Windows versions it was written for (7, 8, 8.1, 10 and 11), is DPI-aware per
# monitor (PerMonitorV2, falling back to PerMonitor, and to system awareness on Windows 7 and 8), and uses
# version 6 of the common controls. NAME defaults to the target's output name, VERSION to the project's.
#
# The manifest is written to <build folder>/<target>.manifest from cmake/WindowsManifest.manifest.in and
# linked in as resource 1 of type 24 (RT_MANIFEST, the one Windows reads from an .exe) through a one-line
# resource script of its own, so the program's .rc stays untouched.
if(WIN32)
  enable_language(RC)
endif()
set(QELM_MANIFEST_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/WindowsManifest.manifest.in)

function(qelm_windows_manifest)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "TARGET;NAME;VERSION;DESCRIPTION" "")
  if(NOT arg_TARGET)
    message(FATAL_ERROR "qelm_windows_manifest: TARGET is required")
  endif()
  if(NOT WIN32)
    return()
  endif()
  if(NOT arg_NAME)
    get_target_property(arg_NAME ${arg_TARGET} OUTPUT_NAME)
    if(NOT arg_NAME)
      set(arg_NAME ${arg_TARGET})
    endif()
  endif()
  if(NOT arg_VERSION)
    set(arg_VERSION ${PROJECT_VERSION})
  endif()
  # Four parts, as an assembly identity's version has.
  string(REPLACE "." ";" parts "${arg_VERSION}")
  list(LENGTH parts count)
  while(count LESS 4)
    list(APPEND parts 0)
    math(EXPR count "${count} + 1")
  endwhile()
  list(SUBLIST parts 0 4 parts)
  list(JOIN parts "." MANIFEST_VERSION)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
    set(MANIFEST_ARCHITECTURE amd64)
  else()
    set(MANIFEST_ARCHITECTURE x86)
  endif()
  set(MANIFEST_NAME ${arg_NAME})
  set(MANIFEST_DESCRIPTION ${arg_DESCRIPTION})
  set(manifest ${CMAKE_CURRENT_BINARY_DIR}/${arg_TARGET}.manifest)
  set(script ${CMAKE_CURRENT_BINARY_DIR}/${arg_TARGET}.manifest.rc)
  configure_file(${QELM_MANIFEST_TEMPLATE} ${manifest} @ONLY)
  file(CONFIGURE OUTPUT ${script} CONTENT "1 24 \"${manifest}\"\n" @ONLY)
  target_sources(${arg_TARGET} PRIVATE ${script})
  # The resource compiler does not see the manifest as a dependency of the script.
  set_source_files_properties(${script} PROPERTIES OBJECT_DEPENDS ${manifest})
endfunction()
