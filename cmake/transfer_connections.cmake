# The form of KESTRIN_TRANSFER_CONNECTIONS: a whole number from 1 to 16, the most connections a
# run receives the listed files over at once. Included by the top-level CMakeLists.txt; its test
# runs it alone:
#   cmake -DKESTRIN_TRANSFER_CONNECTIONS=... -P cmake/transfer_connections.cmake
if(NOT KESTRIN_TRANSFER_CONNECTIONS MATCHES "^[0-9]+$" OR KESTRIN_TRANSFER_CONNECTIONS LESS 1
   OR KESTRIN_TRANSFER_CONNECTIONS GREATER 16)
  message(FATAL_ERROR
          "KESTRIN_TRANSFER_CONNECTIONS: \"${KESTRIN_TRANSFER_CONNECTIONS}\" is not 1 to 16")
endif()
