# qelm_winusb_inf(SOURCE_DIR <repository> OUT <file> [DRIVER_VER <MM/DD/YYYY,a.b.c.d>]): writes the WinUSB
# package's INF to <file>, with the device interface GUID and the receiver's interface-0 hardware ID read from
# the one header that defines them (hidlib/include/hidlib/WinUsbInterface.h), CRLF line ends, and DriverVer set
# to DRIVER_VER when given (the release's date and version). Works in a project and in a -P script.
# The INF is packaging/winusb/qelmusb.inf.in; where that is not there yet, the install program's test copy
# (tests/packaging/winusb/qelmusb-test.inf.in) stands in.
function(qelm_winusb_inf)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "SOURCE_DIR;OUT;DRIVER_VER" "")
  file(READ ${arg_SOURCE_DIR}/hidlib/include/hidlib/WinUsbInterface.h header)
  string(REGEX MATCH "#define QELM_WINUSB_INTERFACE_GUID_TEXT \"([^\"]+)\"" _ "${header}")
  set(QELM_WINUSB_INTERFACE_GUID_TEXT ${CMAKE_MATCH_1})
  string(REGEX MATCH "#define QELM_RECEIVER_INTERFACE0_HARDWARE_ID \"([^\"]+)\"" _ "${header}")
  string(REPLACE "\\\\" "\\" QELM_RECEIVER_INTERFACE0_HARDWARE_ID "${CMAKE_MATCH_1}")
  if(NOT QELM_WINUSB_INTERFACE_GUID_TEXT OR NOT QELM_RECEIVER_INTERFACE0_HARDWARE_ID)
    message(FATAL_ERROR "WinUsbInterface.h: the interface GUID or the hardware ID was not found")
  endif()
  set(source ${arg_SOURCE_DIR}/packaging/winusb/qelmusb.inf.in)
  if(NOT EXISTS ${source})
    set(source ${arg_SOURCE_DIR}/tests/packaging/winusb/qelmusb-test.inf.in)
  endif()
  if(arg_DRIVER_VER)
    file(READ ${source} text)
    string(REGEX REPLACE "(^|\n)DriverVer[ \t]*=[^\r\n]*" "\\1DriverVer   = ${arg_DRIVER_VER}" text "${text}")
    set(source ${arg_OUT}.in)
    file(WRITE ${source} "${text}")
  endif()
  configure_file(${source} ${arg_OUT} @ONLY NEWLINE_STYLE CRLF)
  if(arg_DRIVER_VER)
    file(REMOVE ${source})
  endif()
endfunction()
