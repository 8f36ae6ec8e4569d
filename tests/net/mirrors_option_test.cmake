# Configuring refuses a KESTRIN_UPDATE_MIRRORS of another form than host[:port], ..., and a
# KESTRIN_TRANSFER_CONNECTIONS other than 1 to 16:
#   cmake -DSOURCE=<source tree> -P mirrors_option_test.cmake
cmake_minimum_required(VERSION 3.20)
# Each row: the value, then 0 when it is accepted, 1 when configuring fails.
set(mirrors
    "" 0
    "ftp2.example.com,ftp3.example.com:2121" 0
    " a ,, b-2_c:65535 ," 0
    "a b" 1
    "a:0" 1
    "a:65536" 1
    "a:" 1
    ":21" 1
    "a/b" 1
    "a:21:22" 1
    "h:000021" 1
    "h:021" 1
    "h:1,\th:65535\t" 0)
set(connections "1" 0 "16" 0 "4" 0 "0" 1 "17" 1 "" 1 "2x" 1 "-1" 1)

function(check option script rows)
  list(LENGTH rows count)
  math(EXPR last "${count} - 1")
  foreach(i RANGE 0 ${last} 2)
    math(EXPR j "${i} + 1")
    list(GET rows ${i} value)
    list(GET rows ${j} refused)
    execute_process(COMMAND ${CMAKE_COMMAND} "-D${option}=${value}" -P ${SOURCE}/cmake/${script}
                    RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE error)
    if((result EQUAL 0 AND refused) OR (NOT result EQUAL 0 AND NOT refused))
      message(FATAL_ERROR "${option}=\"${value}\": exit status ${result}")
    endif()
    # A refusal names the entry (each refused row has one).
    string(FIND "${error}" "\"${value}\"" named)
    if(refused AND named EQUAL -1)
      message(FATAL_ERROR "${option}=\"${value}\": the message does not name it: ${error}")
    endif()
  endforeach()
endfunction()

check(KESTRIN_UPDATE_MIRRORS mirrors.cmake "${mirrors}")
check(KESTRIN_TRANSFER_CONNECTIONS transfer_connections.cmake "${connections}")
