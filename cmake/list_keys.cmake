# The public keys a setup list's signature must verify with: zero, one or
# two, each the base64 of the 65-byte uncompressed P-256 point (what
# `brisquel-release pubkey KEY.pem` prints). A key that is not of that form
# stops the configure here rather than giving a setup that refuses every list.
set(BRISQUEL_LIST_KEYS "" CACHE STRING
  "Public keys for signed setup lists, separated by ; (empty: lists are not checked)")

# A key mistyped in the middle still looks right; openssl tells whether the
# point lies on the curve (as a public key in DER, made from a description).
find_program(BRISQUEL_OPENSSL openssl)
function(brisquel_check_key_on_curve key slot)
  if(NOT BRISQUEL_OPENSSL)
    message(WARNING "openssl not found: BRISQUEL_LIST_KEYS key ${slot} is not checked to be a point of P-256")
    return()
  endif()
  set(d ${CMAKE_BINARY_DIR}/list_key_check)
  file(WRITE ${d}/key.b64 "${key}")
  execute_process(COMMAND ${BRISQUEL_OPENSSL} base64 -d -A -in ${d}/key.b64 -out ${d}/key.bin)
  file(READ ${d}/key.bin point HEX)
  file(WRITE ${d}/spki.cnf "asn1=SEQUENCE:spki\n[spki]\nalg=SEQUENCE:alg\n"
    "key=FORMAT:HEX,BITSTRING:${point}\n[alg]\na=OID:id-ecPublicKey\nb=OID:prime256v1\n")
  execute_process(COMMAND ${BRISQUEL_OPENSSL} asn1parse -genconf ${d}/spki.cnf -out ${d}/spki.der -noout
    RESULT_VARIABLE made OUTPUT_QUIET ERROR_QUIET)
  execute_process(COMMAND ${BRISQUEL_OPENSSL} pkey -pubin -inform DER -in ${d}/spki.der -noout
    RESULT_VARIABLE read OUTPUT_QUIET ERROR_QUIET)
  file(REMOVE_RECURSE ${d})
  if(NOT made EQUAL 0 OR NOT read EQUAL 0)
    message(FATAL_ERROR "BRISQUEL_LIST_KEYS: key ${slot} (\"${key}\") is not a point of the P-256 "
      "curve: a character of it is wrong; make it again with brisquel-release pubkey KEY.pem")
  endif()
endfunction()

# Sets out_var to the compile definitions that carry keys into list_keys.cpp.
function(brisquel_list_key_defs out_var keys)
  list(LENGTH keys count)
  if(count GREATER 2)
    message(FATAL_ERROR "BRISQUEL_LIST_KEYS holds ${count} keys; the setup takes at most 2")
  endif()
  set(defs "")
  set(slot 0)
  foreach(key IN LISTS keys)
    math(EXPR slot "${slot} + 1")
    string(LENGTH "${key}" len)
    # 04 || X || Y: "B" then a digit of A to P for the 04; one "=" of
    # padding after a last digit whose two low bits are unused.
    if(NOT len EQUAL 88 OR NOT key MATCHES "^B[A-P][A-Za-z0-9+/]*[AEIMQUYcgkosw048]=$")
      message(FATAL_ERROR "BRISQUEL_LIST_KEYS: key ${slot} (\"${key}\") is not the base64 of a "
        "65-byte uncompressed P-256 point (88 characters, beginning with B); make it with "
        "brisquel-release pubkey KEY.pem")
    endif()
    brisquel_check_key_on_curve("${key}" ${slot})
    list(APPEND defs "BRISQUEL_LIST_KEY_${slot}=\"${key}\"")
  endforeach()
  set(${out_var} "${defs}" PARENT_SCOPE)
endfunction()
