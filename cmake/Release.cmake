# The release's version and date, and the settings that make the Windows binaries reproducible. Included by the
# top CMakeLists.txt right after project(), in every build.
#
# The one version is project(VERSION): it goes into the version resources of Tavrelmond.exe and XBMC.dll (the
# generated header QelmVersion.h), the driver package's INF (DriverVer), the setups' names, their version
# resources and their Apps entry. qelmrc.sys keeps its own version resource ("0.20"): that is the driver's
# identity, not the release's. The window title "Tavrelmond 1.6" is the program's identity and never follows it.
#
# The date is SOURCE_DATE_EPOCH when it is set, else the last commit's time: the same commit gives the same
# date, on every machine and at any hour.

if(DEFINED ENV{SOURCE_DATE_EPOCH} AND NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  set(QELM_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
else()
  find_package(Git QUIET)
  set(QELM_SOURCE_DATE_EPOCH "")
  if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
                    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                    OUTPUT_VARIABLE QELM_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE git_result ERROR_QUIET)
    if(NOT git_result EQUAL 0)
      set(QELM_SOURCE_DATE_EPOCH "")
    endif()
  endif()
  if(QELM_SOURCE_DATE_EPOCH STREQUAL "")
    # A copy without its history: today, said aloud, since it makes the build depend on the day.
    string(TIMESTAMP QELM_SOURCE_DATE_EPOCH "%s" UTC)
    message(WARNING "No git history and no SOURCE_DATE_EPOCH: the release date is today's")
  endif()
endif()
if(NOT QELM_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  message(FATAL_ERROR "SOURCE_DATE_EPOCH must be a number of seconds, not '${QELM_SOURCE_DATE_EPOCH}'")
endif()

# The INF's date (MM/DD/YYYY) of that moment, in UTC.
set(saved_epoch "$ENV{SOURCE_DATE_EPOCH}")
set(ENV{SOURCE_DATE_EPOCH} ${QELM_SOURCE_DATE_EPOCH})
string(TIMESTAMP QELM_RELEASE_DATE_INF "%m/%d/%Y" UTC)
set(ENV{SOURCE_DATE_EPOCH} "${saved_epoch}")

# Four-part numbers for version resources and DriverVer; a missing part is 0.
foreach(part MAJOR MINOR PATCH)
  if(NOT PROJECT_VERSION_${part} MATCHES "^[0-9]+$")
    set(PROJECT_VERSION_${part} 0)
  endif()
endforeach()
set(QELM_VERSION "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}")
set(QELM_VERSION_QUAD "${QELM_VERSION}.0")

# QelmVersion.h, for the resource scripts (windres runs the C preprocessor on them).
set(QELM_GENERATED_DIR ${PROJECT_BINARY_DIR}/generated)
file(CONFIGURE OUTPUT ${QELM_GENERATED_DIR}/QelmVersion.h CONTENT [[
// Generated from the project's version (cmake/Release.cmake): do not edit.
#pragma once
#define QELM_VERSION_MAJOR @PROJECT_VERSION_MAJOR@
#define QELM_VERSION_MINOR @PROJECT_VERSION_MINOR@
#define QELM_VERSION_PATCH @PROJECT_VERSION_PATCH@
#define QELM_VERSION_TEXT "@QELM_VERSION@"
]] @ONLY)

# Reproducible Windows binaries: no link time in the PE headers and export tables, and no build folder in what
# the compiler writes (file names of assertions, debug information).
if(WIN32)
  add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${PROJECT_SOURCE_DIR}/=>"
                      "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${PROJECT_BINARY_DIR}/=>")
  add_link_options(-Wl,--no-insert-timestamp)
endif()
