# Shared compiler settings: strict warnings everywhere, optional sanitizers.
set(KV_WARNINGS -Wall -Wextra -Werror -Wshadow -Wformat=2 -Wundef -Wcast-align
    -Wnull-dereference -Wdouble-promotion -Wimplicit-fallthrough)

# 64-bit file offsets and inode numbers on 32-bit targets (armhf): without
# them open/stat fail on files of 2 GiB and more (the OS image) and readdir
# fails with EOVERFLOW on file systems with 64-bit inode numbers. No library
# we link passes off_t or struct stat across its interface. On 64-bit
# machines this changes nothing.
add_compile_definitions(_FILE_OFFSET_BITS=64)

if(KV_SANITIZE)
  set(KV_SAN_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
elseif(KV_TSAN)
  set(KV_SAN_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
else()
  set(KV_SAN_FLAGS)
endif()
add_compile_options(${KV_SAN_FLAGS})
add_link_options(${KV_SAN_FLAGS})

# kv_strict(<target>): our own code is built with all warnings as errors and
# without exceptions (nothing of ours throws).
function(kv_strict target)
  target_compile_options(${target} PRIVATE ${KV_WARNINGS})
  get_target_property(_lang ${target} LINKER_LANGUAGE)
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions>)
endfunction()
