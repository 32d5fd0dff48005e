# Linux: everything from Debian's packages.
find_package(Threads REQUIRED)
find_package(CURL REQUIRED)
find_package(OpenSSL REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(JSONCPP REQUIRED IMPORTED_TARGET jsoncpp)

add_library(tavrel_deps INTERFACE)
target_compile_definitions(tavrel_deps INTERFACE _WEBSOCKETPP_CPP11_STL_)
target_link_libraries(tavrel_deps INTERFACE
  PkgConfig::JSONCPP CURL::libcurl OpenSSL::SSL OpenSSL::Crypto Threads::Threads ${CMAKE_DL_LIBS})
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
