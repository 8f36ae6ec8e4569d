# The form of KESTRIN_UPDATE_MIRRORS: empty, or entries host[:port] separated by commas (blanks
# and tabs around an entry, and empty entries, are ignored), the host of letters, digits, dots,
# hyphens and underscores, the port 1 to 65535 written without leading zeros. The program reads
# the list the same way (ParseMirrors, net/update_server.cpp): what passes here is what it uses.
# Included by the top-level CMakeLists.txt; its test runs it alone:
#   cmake -DKESTRIN_UPDATE_MIRRORS=... -P cmake/mirrors.cmake
# Empty entries are list elements like the others (run alone, the script has no policies set).
cmake_policy(SET CMP0007 NEW)
if(KESTRIN_UPDATE_MIRRORS MATCHES ";")
  message(FATAL_ERROR "KESTRIN_UPDATE_MIRRORS: \"${KESTRIN_UPDATE_MIRRORS}\" has a semicolon: "
                      "entries are separated by commas")
endif()
string(REPLACE "," ";" kestrin_mirror_entries "${KESTRIN_UPDATE_MIRRORS}")
foreach(entry IN LISTS kestrin_mirror_entries)
  string(REGEX REPLACE "^[ \t]+|[ \t]+$" "" entry "${entry}")
  if(entry STREQUAL "")
    continue()
  endif()
  if(NOT entry MATCHES "^[A-Za-z0-9._-]+(:[0-9]+)?$")
    message(FATAL_ERROR "KESTRIN_UPDATE_MIRRORS: \"${entry}\" is not host[:port]")
  endif()
  if(entry MATCHES ":([0-9]+)$")
    set(kestrin_mirror_port "${CMAKE_MATCH_1}")
    if(NOT kestrin_mirror_port MATCHES "^[1-9][0-9]?[0-9]?[0-9]?[0-9]?$"
       OR kestrin_mirror_port GREATER 65535)
      message(FATAL_ERROR "KESTRIN_UPDATE_MIRRORS: the port of \"${entry}\" is not 1 to 65535 "
                          "written without leading zeros")
    endif()
  endif()
endforeach()
