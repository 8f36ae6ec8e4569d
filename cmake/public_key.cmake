# The form of KESTRIN_UPDATE_PUBLIC_KEY: empty (a build that uses the server's files as they
# come), or up to four of the publisher's ECDSA P-256 public keys separated by commas, each as
# kestrin-publish keygen prints it: "04" and then the X and Y coordinates, 64 hexadecimal digits
# each. A manifest signed with any of them verifies: a publisher moving to a new key ships a
# Kestrin that knows both. Included by the top-level
# CMakeLists.txt; the publisher's tests also run it alone:
#   cmake -DKESTRIN_UPDATE_PUBLIC_KEY=... -P cmake/public_key.cmake
# Whether the point lies on the curve is checked when the program imports the key.
if(NOT KESTRIN_UPDATE_PUBLIC_KEY STREQUAL "")
  set(kestrin_key "04[0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f]")
  string(REPEAT "[0-9A-Fa-f]" 120 kestrin_key_rest)
  set(kestrin_key "${kestrin_key}${kestrin_key_rest}")
  if(NOT KESTRIN_UPDATE_PUBLIC_KEY MATCHES
     "^${kestrin_key}(,${kestrin_key})?(,${kestrin_key})?(,${kestrin_key})?$")
    message(FATAL_ERROR "KESTRIN_UPDATE_PUBLIC_KEY is not one to four public keys as "
                        "kestrin-publish keygen prints them (\"04\" and then 128 hexadecimal "
                        "digits), separated by commas")
  endif()
endif()
