# qelm_kernel_driver(NAME SOURCES ... [LIBRARIES ...]): a Windows kernel-mode driver NAME.sys built with
# mingw-w64 as freestanding C++ (no exceptions, no RTTI, no C or C++ runtime), native subsystem, entry point
# DriverEntry, importing only the kernel-mode libraries given (ntoskrnl, hal, hidclass, usbd...).
# Call it from the folder that holds the target: it also empties that folder's default user-mode libraries.
function(qelm_kernel_driver name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;LIBRARIES")
  find_path(QELM_DDK_INCLUDE_DIR ntddk.h PATH_SUFFIXES ddk include/ddk REQUIRED)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(entry DriverEntry)
  else()
    # DriverEntry is __stdcall on x86: two pointer arguments give the decorated name _DriverEntry@8.
    set(entry _DriverEntry@8)
  endif()

  add_executable(${name} ${arg_SOURCES})
  set_target_properties(${name} PROPERTIES OUTPUT_NAME ${name} SUFFIX .sys)
  target_include_directories(${name} SYSTEM PRIVATE ${QELM_DDK_INCLUDE_DIR})
  # mingw-w64's wdm.h and intrin-impl.h both define the two interlocked bit-test routines in C++; tell
  # intrin-impl.h that wdm.h provides them.
  target_compile_definitions(${name} PRIVATE __INTRINSIC_DEFINED_InterlockedBitTestAndSet=
                                             __INTRINSIC_DEFINED_InterlockedBitTestAndReset=)
  target_compile_options(${name} PRIVATE
                         $<$<COMPILE_LANGUAGE:CXX>:-ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics
                         -fno-stack-protector -fno-builtin-printf -fno-use-cxa-atexit -mno-stack-arg-probe
                         ${QELM_WARNINGS}>)
  target_link_options(${name} PRIVATE
                      -nostdlib -nostartfiles -shared
                      -Wl,--subsystem,native
                      -Wl,--entry,${entry}
                      -Wl,--image-base,0x10000
                      -Wl,--file-alignment,0x200
                      -Wl,--section-alignment,0x1000
                      -Wl,--dynamicbase -Wl,--nxcompat
                      -Wl,--exclude-all-symbols)
  target_link_libraries(${name} PRIVATE ${arg_LIBRARIES})
  # Only the kernel-mode import libraries; no user-mode default libraries.
  set(CMAKE_CXX_STANDARD_LIBRARIES "" PARENT_SCOPE)
  set(CMAKE_C_STANDARD_LIBRARIES "" PARENT_SCOPE)
endfunction()
