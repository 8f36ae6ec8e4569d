# The form of KESTRIN_UPDATE_PUBLIC_KEY: empty (a build that uses the server's files as they
# come), or up to four of the publisher's ECDSA P-256 public keys separated by commas, each as
# kestrin-publish keygen prints it: "04" and then the X and Y coordinates, 64 hexadecimal digits
# each. A manifest signed with any of them verifies: a publisher moving to a new key ships a
# Kestrin that knows both. Included by the top-level
# CMakeLists.txt; the publisher's tests also run it alone:
#   cmake -DKESTRIN_UPDATE_PUBLIC_KEY=... -P cmake/public_key.cmake
# Each key must also be a point of the curve, or the program refuses every release it is
# given: libcrypto's openssl command decodes each one as the program does when it imports the
# key. Without that command only the form is checked, and configuring says so.
cmake_policy(SET CMP0007 NEW)

# kestrin_key_decodes(key result): whether openssl takes key as a P-256 public key (TRUE or
# FALSE), or "" when the command cannot tell.
function(kestrin_key_decodes key result)
  string(RANDOM LENGTH 8 name)
  set(dir "${CMAKE_CURRENT_BINARY_DIR}/kestrin_public_key_${name}")
  file(MAKE_DIRECTORY "${dir}")
  # The key as a SubjectPublicKeyInfo: an id-ecPublicKey on prime256v1 and the point's bytes.
  file(WRITE "${dir}/${name}.cnf"
       "asn1=SEQUENCE:spki\n[spki]\nalgorithm=SEQUENCE:algorithm\n"
       "key=FORMAT:HEX,BITSTRING:${key}\n"
       "[algorithm]\noid=OID:id-ecPublicKey\ncurve=OID:prime256v1\n")
  execute_process(COMMAND "${KESTRIN_OPENSSL}" asn1parse -genconf "${dir}/${name}.cnf" -noout
                          -out "${dir}/${name}.der"
                  RESULT_VARIABLE made OUTPUT_QUIET ERROR_QUIET)
  set(decodes "")
  if(made EQUAL 0)
    execute_process(COMMAND "${KESTRIN_OPENSSL}" pkey -pubin -inform DER -in "${dir}/${name}.der"
                            -noout
                    RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET)
    if(status EQUAL 0)
      set(decodes TRUE)
    else()
      set(decodes FALSE)
    endif()
  endif()
  file(REMOVE_RECURSE "${dir}")
  set(${result} "${decodes}" PARENT_SCOPE)
endfunction()

if(NOT KESTRIN_UPDATE_PUBLIC_KEY STREQUAL "")
  string(REPEAT "[0-9A-Fa-f]" 128 kestrin_key_digits)
  string(REPLACE "," ";" kestrin_keys "${KESTRIN_UPDATE_PUBLIC_KEY}")
  list(LENGTH kestrin_keys kestrin_key_count)
  if(kestrin_key_count GREATER 4)
    message(FATAL_ERROR "KESTRIN_UPDATE_PUBLIC_KEY names ${kestrin_key_count} keys: at most "
                        "four, separated by commas")
  endif()
  foreach(key IN LISTS kestrin_keys)
    if(NOT key MATCHES "^04${kestrin_key_digits}$")
      message(FATAL_ERROR "KESTRIN_UPDATE_PUBLIC_KEY: \"${key}\" is not a public key as "
                          "kestrin-publish keygen prints it (\"04\" and then 128 hexadecimal "
                          "digits); up to four are separated by commas")
    endif()
  endforeach()

  find_program(KESTRIN_OPENSSL openssl)
  # The curve's base point, which any working openssl takes: the check is trusted only then.
  set(kestrin_base_point "046B17D1F2E12C4247F8BCE6E563A440F277037D812DEB33A0F4A13945D898C296"
                         "4FE342E2FE1A7F9B8EE7EB4A7C0F9E162BCE33576B315ECECBB6406837BF51F5")
  string(CONCAT kestrin_base_point ${kestrin_base_point})
  set(kestrin_base_decodes "")
  if(KESTRIN_OPENSSL)
    kestrin_key_decodes("${kestrin_base_point}" kestrin_base_decodes)
  endif()
  if(NOT kestrin_base_decodes)
    message(WARNING "KESTRIN_UPDATE_PUBLIC_KEY: no working openssl command was found, so only "
                    "the form of the keys was checked, not that each is a point of the P-256 "
                    "curve: a key that is not makes a program that refuses every release. "
                    "Install openssl (Debian's package) and configure again to check them.")
  else()
    foreach(key IN LISTS kestrin_keys)
      kestrin_key_decodes("${key}" kestrin_key_ok)
      if(NOT kestrin_key_ok)
        message(FATAL_ERROR "KESTRIN_UPDATE_PUBLIC_KEY: \"${key}\" is not a point of the P-256 "
                            "curve (mistyped?): the program would refuse every release signed "
                            "for it")
      endif()
    endforeach()
  endif()
endif()
