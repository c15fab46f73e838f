# The distribution's hardening flags for every program we build (the daemon,
# the test tool, the host tools, and everything else in the tree with them):
# stack protector, fortified C library calls, format checks, RELRO, immediate
# binding. Position-independent executables are the default of Debian's
# compilers (GCC, the armhf cross compiler and clang alike), which is why
# dpkg-buildflags does not add them; the package test checks that they are.
#
# They come from dpkg-buildflags with every hardening feature on, so that our
# programs are built as Debian builds its own packages on the same release,
# for the architecture we build for (armhf in the cross build). Build type and
# caller keep what is theirs: the optimisation level and debug information of
# the build type, and no file-prefix map of whatever folder CMake ran in.
#
# Debug builds get none of it: the fortified calls need an optimising build,
# and a debugger wants the plain ones. Sanitizer and fuzzing builds that are
# not Debug get everything but the fortified calls, which would hide the
# calls from the sanitizer's own, stricter checks. A flag the compiler does
# not know (clang and a few of GCC's flags) is left out, not failed on.
include_guard(GLOBAL)
include(CheckCCompilerFlag)
include(CheckCXXCompilerFlag)
include(CheckLinkerFlag)

# kv_hardening_flags(<variable> <dpkg-buildflags variable>): the flags that
# dpkg-buildflags gives for it, as a list, without the optimisation, debug and
# path-mapping flags.
function(kv_hardening_flags out name)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all ${_kv_deb_host}
            ${KV_DPKG_BUILDFLAGS} --get ${name}
    OUTPUT_VARIABLE text OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc ERROR_QUIET)
  if(NOT rc EQUAL 0)
    set(${out} "" PARENT_SCOPE)
    return()
  endif()
  separate_arguments(flags UNIX_COMMAND "${text}")
  list(FILTER flags EXCLUDE REGEX "^-(O.*|g.*|f(file|debug|macro)-prefix-map=.*)$")
  set(${out} ${flags} PARENT_SCOPE)
endfunction()

string(TOUPPER "${CMAKE_BUILD_TYPE}" _kv_build_type)
find_program(KV_DPKG_BUILDFLAGS dpkg-buildflags)
find_program(KV_DPKG_ARCHITECTURE dpkg-architecture)

if(_kv_build_type STREQUAL "DEBUG" OR NOT CMAKE_BUILD_TYPE)
  return()
endif()

if(NOT KV_DPKG_BUILDFLAGS)
  message(STATUS "kvupdater: dpkg-buildflags not found, programs are built without hardening flags")
  return()
endif()

# The Debian architecture of the programs: the cross compiler's, not the
# build machine's.
set(_kv_deb_host)
if(CMAKE_CROSSCOMPILING AND KV_DPKG_ARCHITECTURE AND CMAKE_LIBRARY_ARCHITECTURE)
  execute_process(COMMAND ${KV_DPKG_ARCHITECTURE} -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
                  OUTPUT_VARIABLE _kv_arch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(_kv_arch)
    set(_kv_deb_host DEB_HOST_ARCH=${_kv_arch})
  endif()
endif()

kv_hardening_flags(_kv_cppflags CPPFLAGS)
kv_hardening_flags(_kv_cflags CFLAGS)
kv_hardening_flags(_kv_cxxflags CXXFLAGS)
kv_hardening_flags(_kv_ldflags LDFLAGS)
if(KV_SANITIZE OR KV_TSAN OR KV_FUZZ)
  list(FILTER _kv_cppflags EXCLUDE REGEX "^-D_FORTIFY_SOURCE")
endif()

# Each flag once it is known to work, in C (for C) and C++ (for C++); the
# result of a check is cached under the flag's own name.
set(KV_HARDENING_FLAGS)
set(KV_HARDENING_LINK_FLAGS)
# Each is checked together with the ones taken before it, as some need an
# earlier one (-Werror=format-security needs -Wformat).
set(_kv_taken)
foreach(flag IN LISTS _kv_cppflags _kv_cflags)
  string(MAKE_C_IDENTIFIER "KV_HARDENING_C${flag}" known)
  string(JOIN " " CMAKE_REQUIRED_FLAGS ${_kv_taken})
  check_c_compiler_flag("${flag}" ${known})
  if(${known})
    list(APPEND _kv_taken ${flag})
    list(APPEND KV_HARDENING_FLAGS $<$<COMPILE_LANGUAGE:C>:${flag}>)
  endif()
endforeach()
set(_kv_taken)
foreach(flag IN LISTS _kv_cppflags _kv_cxxflags)
  string(MAKE_C_IDENTIFIER "KV_HARDENING_CXX${flag}" known)
  string(JOIN " " CMAKE_REQUIRED_FLAGS ${_kv_taken})
  check_cxx_compiler_flag("${flag}" ${known})
  if(${known})
    list(APPEND _kv_taken ${flag})
    list(APPEND KV_HARDENING_FLAGS $<$<COMPILE_LANGUAGE:CXX>:${flag}>)
  endif()
endforeach()
unset(CMAKE_REQUIRED_FLAGS)
foreach(flag IN LISTS _kv_ldflags)
  string(MAKE_C_IDENTIFIER "KV_HARDENING_LD${flag}" known)
  check_linker_flag(CXX "${flag}" ${known})
  if(${known})
    list(APPEND KV_HARDENING_LINK_FLAGS ${flag})
  endif()
endforeach()
list(REMOVE_DUPLICATES KV_HARDENING_FLAGS)

add_compile_options(${KV_HARDENING_FLAGS})
add_link_options(${KV_HARDENING_LINK_FLAGS})
message(STATUS "kvupdater: hardening flags: C++ ${_kv_taken}; linker ${KV_HARDENING_LINK_FLAGS}")
