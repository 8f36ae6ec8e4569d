# The form of the names a product team gives its own Kestrin. Each becomes a registry key or a
# directory name (KESTRIN_COMPANY_KEY, KESTRIN_UPDATE_PRODUCT, KESTRIN_PRODUCT_SUBDIRECTORY), a
# C string, a line of a manual page and a field of a desktop entry or a package, so each is held
# to characters that mean nothing special in any of them. Included by the top-level
# CMakeLists.txt; its test runs it alone:
#   cmake -DKESTRIN_COMPANY_KEY=... -P cmake/names.cmake
# Letters, digits, dots, hyphens and underscores, a letter or digit at each end: no separator
# or blank, no character Windows refuses in a name, nothing a shell, troff or C would read.
set(kestrin_name_form "^[A-Za-z0-9]([A-Za-z0-9._-]*[A-Za-z0-9])?$")
foreach(name KESTRIN_COMPANY_KEY KESTRIN_UPDATE_PRODUCT KESTRIN_PRODUCT_SUBDIRECTORY)
  if(DEFINED ${name} AND NOT "${${name}}" MATCHES "${kestrin_name_form}")
    message(FATAL_ERROR "${name}: \"${${name}}\" is not a name of letters, digits, dots, "
                        "hyphens and underscores that begins and ends with a letter or digit")
  endif()
endforeach()
if(DEFINED KESTRIN_HOME_URL AND NOT KESTRIN_HOME_URL MATCHES "^https?://[^ \t\r\n\"\\<>]+$")
  message(FATAL_ERROR "KESTRIN_HOME_URL: \"${KESTRIN_HOME_URL}\" is not an http or https "
                      "address without blanks, quotes or backslashes")
endif()
if(DEFINED KESTRIN_PACKAGE_MAINTAINER AND
   NOT KESTRIN_PACKAGE_MAINTAINER MATCHES "^[A-Za-z0-9][A-Za-z0-9 .,_-]* <[^ \t\r\n\"\\<>@]+@[^ \t\r\n\"\\<>@]+>$")
  message(FATAL_ERROR "KESTRIN_PACKAGE_MAINTAINER: \"${KESTRIN_PACKAGE_MAINTAINER}\" is not "
                      "\"Name <address>\"")
endif()
# The product's name in lower case, for the examples of the manual pages (/opt/tamwix).
if(DEFINED KESTRIN_UPDATE_PRODUCT)
  string(TOLOWER "${KESTRIN_UPDATE_PRODUCT}" KESTRIN_PRODUCT_LOWER)
endif()
