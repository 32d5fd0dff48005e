# Linux: everything from Debian's packages; or, with TAVREL_LINUX_STATIC (the linux-static preset), JsonCpp,
# a libcurl of HTTP and HTTPS, libssl and libcrypto linked statically from scripts/build-linux-deps.sh, with Debian's static
# zlib and the C++ runtime, so the agent maps only the C library besides itself.
option(TAVREL_LINUX_STATIC "Link JsonCpp, libcurl, libssl and libcrypto statically from .cache/linux-deps" OFF)
find_package(Threads REQUIRED)
add_library(tavrel_deps INTERFACE)
target_compile_definitions(tavrel_deps INTERFACE _WEBSOCKETPP_CPP11_STL_)
if(TAVREL_LINUX_STATIC)
  set(TAVREL_LINUX_DEPS ${CMAKE_SOURCE_DIR}/.cache/linux-deps CACHE PATH "Folder filled by scripts/build-linux-deps.sh")
  set(_prefix ${TAVREL_LINUX_DEPS}/prefix)
  foreach(lib curl jsoncpp ssl crypto)
    if(NOT EXISTS ${_prefix}/lib/lib${lib}.a)
      message(FATAL_ERROR "${_prefix}/lib/lib${lib}.a missing: run scripts/build-linux-deps.sh")
    endif()
  endforeach()
  find_library(TAVREL_STATIC_ZLIB NAMES libz.a REQUIRED)
  target_compile_definitions(tavrel_deps INTERFACE CURL_STATICLIB)
  # Before /usr/include, so the headers match the static libraries and not Debian's packages.
  target_include_directories(tavrel_deps SYSTEM BEFORE INTERFACE ${_prefix}/include)
  target_link_libraries(tavrel_deps INTERFACE
    ${_prefix}/lib/libcurl.a ${_prefix}/lib/libjsoncpp.a ${_prefix}/lib/libssl.a ${_prefix}/lib/libcrypto.a ${TAVREL_STATIC_ZLIB}
    Threads::Threads ${CMAKE_DL_LIBS})
  # OpenSSL's and libcurl's tables of pointers need some 23 000 relocations in a position-independent program:
  # packed (DT_RELR, glibc 2.36) they are a few kB that the loader reads instead of 0.5 MB.
  target_link_options(tavrel_deps INTERFACE -Wl,-z,pack-relative-relocs)
  # The C++ runtime too: the shared libstdc++ is mapped whole and relocated at every start (1.5 MB of it
  # resident in an idle agent), where the program needs only the pieces it calls.
  target_link_options(tavrel_deps INTERFACE -static-libstdc++ -static-libgcc)
  # The shared libm would be mapped (0.3 MB resident) for JsonCpp's modf alone. The C library's own modf is
  # weak there, so the linker takes libm's; the same code from the static C library, linked in, leaves libm
  # unused, and --as-needed drops the -lm the compiler driver always adds.
  find_library(TAVREL_STATIC_LIBC NAMES libc.a REQUIRED)
  set(_modf ${CMAKE_BINARY_DIR}/libc-modf/s_modf.o)
  if(NOT EXISTS ${_modf})
    file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/libc-modf)
    execute_process(COMMAND ${CMAKE_AR} x ${TAVREL_STATIC_LIBC} s_modf.o
                    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/libc-modf RESULT_VARIABLE _ar_failed)
    if(_ar_failed OR NOT EXISTS ${_modf})
      message(FATAL_ERROR "s_modf.o not found in ${TAVREL_STATIC_LIBC}")
    endif()
  endif()
  target_link_libraries(tavrel_deps INTERFACE ${_modf})
  target_link_options(tavrel_deps INTERFACE -Wl,--as-needed)
else()
  find_package(CURL REQUIRED)
  find_package(OpenSSL REQUIRED)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(JSONCPP REQUIRED IMPORTED_TARGET jsoncpp)
  target_link_libraries(tavrel_deps INTERFACE
    PkgConfig::JSONCPP CURL::libcurl OpenSSL::SSL OpenSSL::Crypto Threads::Threads ${CMAKE_DL_LIBS})
endif()
# MD5_Init and friends are deprecated in OpenSSL 3 but are what the agent uses.
target_compile_options(tavrel_deps INTERFACE -Wall -Wextra -Wno-deprecated-declarations -Wno-unused-parameter)

find_package(GTest QUIET)
if(NOT GTest_FOUND AND EXISTS /usr/src/googletest/CMakeLists.txt)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  add_library(GTest::gtest ALIAS gtest)
  add_library(GTest::gtest_main ALIAS gtest_main)
  add_library(GTest::gmock ALIAS gmock)
endif()
