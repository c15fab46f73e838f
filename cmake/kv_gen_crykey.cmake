# cmake -DKEY_FILE=<key file> -DOUTPUT=<.cpp> -DDEVELOPMENT=<0|1> -P kv_gen_crykey.cmake
#
# Reads the CRY key file ("key=<64 hex digits>", "iv=<32 hex digits>", '#'
# comments) and writes the key assembly routines. The 32 key bytes are split
# into four runs of interleaved positions (position modulo 4): the middle
# routine stores run 0, calls the inner routine (run 1) and stores run 2; the
# outer routine calls the middle one and then stores run 3. No routine and no
# data object ever holds the key whole.

foreach(var KEY_FILE OUTPUT DEVELOPMENT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "kv_gen_crykey: ${var} is not set")
  endif()
endforeach()

file(STRINGS ${KEY_FILE} _lines)
set(_key "")
set(_iv "")
foreach(_line IN LISTS _lines)
  string(REGEX REPLACE "#.*$" "" _line "${_line}")
  string(STRIP "${_line}" _line)
  if(_line STREQUAL "")
    continue()
  endif()
  if(_line MATCHES "^key[ \t]*=[ \t]*([0-9A-Fa-f]+)$")
    set(_key ${CMAKE_MATCH_1})
  elseif(_line MATCHES "^iv[ \t]*=[ \t]*([0-9A-Fa-f]+)$")
    set(_iv ${CMAKE_MATCH_1})
  else()
    message(FATAL_ERROR "kv_gen_crykey: ${KEY_FILE}: unrecognised line '${_line}'")
  endif()
endforeach()

string(LENGTH "${_key}" _key_len)
string(LENGTH "${_iv}" _iv_len)
if(NOT _key_len EQUAL 64)
  message(FATAL_ERROR "kv_gen_crykey: ${KEY_FILE}: 'key=' needs 64 hex digits (AES-256), found ${_key_len}")
endif()
if(NOT _iv_len EQUAL 32)
  message(FATAL_ERROR "kv_gen_crykey: ${KEY_FILE}: 'iv=' needs 32 hex digits, found ${_iv_len}")
endif()
string(TOLOWER "${_key}" _key)
string(TOLOWER "${_iv}" _iv)

# Stores of one run: "  key[p] = 0xNN;" for every position p with p % 4 == run.
function(_kv_run run outvar)
  set(_text "")
  foreach(_p RANGE ${run} 31 4)
    math(EXPR _at "${_p} * 2")
    string(SUBSTRING "${_key}" ${_at} 2 _byte)
    string(APPEND _text "  key[${_p}] = 0x${_byte};\n")
  endforeach()
  set(${outvar} "${_text}" PARENT_SCOPE)
endfunction()
_kv_run(0 _run0)
_kv_run(1 _run1)
_kv_run(2 _run2)
_kv_run(3 _run3)

set(_iv_bytes "")
foreach(_i RANGE 0 15)
  math(EXPR _at "${_i} * 2")
  string(SUBSTRING "${_iv}" ${_at} 2 _byte)
  if(_i GREATER 0)
    string(APPEND _iv_bytes ", ")
  endif()
  string(APPEND _iv_bytes "0x${_byte}")
endforeach()

set(_source "// Generated at build time from the CRY key file of this build. Do not edit.
#include \"security/crykey.h\"

namespace {
unsigned char gKey[kCryKeySize];
const unsigned char kIv[kCryIvSize] = {${_iv_bytes}};
}  // namespace

__attribute__((noinline)) void crykey_AssembleInner(unsigned char* key) {
${_run1}}

__attribute__((noinline)) void crykey_AssembleMiddle(unsigned char* key) {
${_run0}  crykey_AssembleInner(key);
${_run2}}

const unsigned char* crykey_Assemble() {
  unsigned char* key = gKey;
  crykey_AssembleMiddle(key);
${_run3}  return key;
}

const unsigned char* crykey_GetIv() { return kIv; }

int crykey_IsDevelopment() { return ${DEVELOPMENT}; }
")

# Rewrite only on change, so that an unchanged key does not rebuild the library.
if(EXISTS ${OUTPUT})
  file(READ ${OUTPUT} _old)
  if(_old STREQUAL _source)
    return()
  endif()
endif()
file(WRITE ${OUTPUT} "${_source}")
