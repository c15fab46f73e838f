# Shared compiler settings: strict warnings everywhere, optional sanitizers.
set(KV_WARNINGS -Wall -Wextra -Werror -Wshadow -Wformat=2 -Wundef -Wcast-align
    -Wnull-dereference -Wdouble-promotion -Wimplicit-fallthrough)

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
