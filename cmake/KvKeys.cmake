# Provisioning of the CRY payload key.
#
# The AES-256 key and the initialisation vector are inputs of the build: a key
# file (KV_CRY_KEY_FILE) holding the lines "key=<64 hex digits>" and
# "iv=<32 hex digits>" ('#' starts a comment). At build time
# cmake/kv_gen_crykey.cmake turns it into a source file whose three assembly
# routines store the key into a buffer run by run, so the key is never held
# whole in the program's data. The default is the development key set of the
# repository; a build that uses it says so when it is configured.

set(KV_DEVELOPMENT_CRY_KEY_FILE ${CMAKE_SOURCE_DIR}/keys/development/development-cry.key)
set(KV_CRY_KEY_FILE ${KV_DEVELOPMENT_CRY_KEY_FILE} CACHE FILEPATH
    "Key file (key=<64 hex>, iv=<32 hex>) of the AES-256 key that decrypts CRY payloads")

if(NOT EXISTS ${KV_CRY_KEY_FILE})
  message(FATAL_ERROR "KV_CRY_KEY_FILE: no such key file: ${KV_CRY_KEY_FILE}")
endif()

get_filename_component(_kv_key_real ${KV_CRY_KEY_FILE} REALPATH)
get_filename_component(_kv_dev_real ${KV_DEVELOPMENT_CRY_KEY_FILE} REALPATH)
if(_kv_key_real STREQUAL _kv_dev_real)
  set(KV_CRY_KEY_IS_DEVELOPMENT 1)
  message(WARNING
    "kvupdater: this build uses the DEVELOPMENT CRY key (${KV_CRY_KEY_FILE}). "
    "It is public: never ship it. Product builds pass -DKV_CRY_KEY_FILE=<product key file>.")
else()
  set(KV_CRY_KEY_IS_DEVELOPMENT 0)
  message(STATUS "kvupdater: CRY key from ${KV_CRY_KEY_FILE}")
endif()

# kv_generate_crykey(<output .cpp>): generates the key assembly routines.
function(kv_generate_crykey output)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -DKEY_FILE=${KV_CRY_KEY_FILE} -DOUTPUT=${output}
            -DDEVELOPMENT=${KV_CRY_KEY_IS_DEVELOPMENT}
            -P ${CMAKE_SOURCE_DIR}/cmake/kv_gen_crykey.cmake
    DEPENDS ${KV_CRY_KEY_FILE} ${CMAKE_SOURCE_DIR}/cmake/kv_gen_crykey.cmake
    COMMENT "Generating the CRY key assembly routines"
    VERBATIM)
endfunction()
