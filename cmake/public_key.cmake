# The form of KESTRIN_UPDATE_PUBLIC_KEY: empty (a build that uses the server's files as they
# come), or the publisher's ECDSA P-256 public key as kestrin-publish keygen prints it: "04" and
# then the X and Y coordinates, 64 hexadecimal digits each. Included by the top-level
# CMakeLists.txt; the publisher's tests also run it alone:
#   cmake -DKESTRIN_UPDATE_PUBLIC_KEY=... -P cmake/public_key.cmake
# Whether the point lies on the curve is checked when the program imports the key.
if(NOT KESTRIN_UPDATE_PUBLIC_KEY STREQUAL "")
  string(LENGTH "${KESTRIN_UPDATE_PUBLIC_KEY}" kestrin_key_length)
  if(NOT kestrin_key_length EQUAL 130 OR NOT KESTRIN_UPDATE_PUBLIC_KEY MATCHES "^04[0-9A-Fa-f]*$")
    message(FATAL_ERROR "KESTRIN_UPDATE_PUBLIC_KEY is not a public key as kestrin-publish keygen "
                        "prints it: \"04\" and then 128 hexadecimal digits")
  endif()
endif()
