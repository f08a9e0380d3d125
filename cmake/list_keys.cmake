# The public keys a setup list's signature must verify with: zero, one or
# two, each the base64 of the 65-byte uncompressed P-256 point (what
# `brisquel-release pubkey KEY.pem` prints). A key that is not of that form
# stops the configure here rather than giving a setup that refuses every list.
set(BRISQUEL_LIST_KEYS "" CACHE STRING
  "Public keys for signed setup lists, separated by ; (empty: lists are not checked)")

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
    list(APPEND defs "BRISQUEL_LIST_KEY_${slot}=\"${key}\"")
  endforeach()
  set(${out_var} "${defs}" PARENT_SCOPE)
endfunction()
