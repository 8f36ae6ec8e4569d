# Configuring refuses a name that a registry key, a directory, a C string, a manual page or a
# desktop entry could not hold as it is:
#   cmake -DSOURCE=<source tree> -P names_option_test.cmake
cmake_minimum_required(VERSION 3.20)
# Each row: the option, the value, then 0 when it is accepted, 1 when configuring fails.
set(rows
    KESTRIN_COMPANY_KEY "Vantorel" 0
    KESTRIN_COMPANY_KEY "A.b-c_9" 0
    KESTRIN_COMPANY_KEY "" 1
    KESTRIN_COMPANY_KEY "Acme Corp" 1
    KESTRIN_UPDATE_PRODUCT "a/b" 1
    KESTRIN_UPDATE_PRODUCT "a\\b" 1
    KESTRIN_UPDATE_PRODUCT "-x" 1
    KESTRIN_PRODUCT_SUBDIRECTORY ".." 1
    KESTRIN_PRODUCT_SUBDIRECTORY "a\"b" 1
    KESTRIN_HOME_URL "https://www.acmefy.example/a?b=1&c" 0
    KESTRIN_HOME_URL "ftp://x/" 1
    KESTRIN_HOME_URL "https://a\"b/" 1
    KESTRIN_PACKAGE_MAINTAINER "Orlund, Inc. <updates@acmefy.example>" 0
    KESTRIN_PACKAGE_MAINTAINER "updates@acmefy.example" 1
    KESTRIN_PACKAGE_MAINTAINER "A <a b@c>" 1)
list(LENGTH rows count)
math(EXPR last "${count} - 1")
foreach(i RANGE 0 ${last} 3)
  math(EXPR j "${i} + 1")
  math(EXPR k "${i} + 2")
  list(GET rows ${i} option)
  list(GET rows ${j} value)
  list(GET rows ${k} refused)
  execute_process(COMMAND ${CMAKE_COMMAND} "-D${option}=${value}" -P ${SOURCE}/cmake/names.cmake
                  RESULT_VARIABLE result OUTPUT_QUIET ERROR_QUIET)
  if((result EQUAL 0 AND refused) OR (NOT result EQUAL 0 AND NOT refused))
    message(FATAL_ERROR "${option}=\"${value}\": exit status ${result}")
  endif()
endforeach()
