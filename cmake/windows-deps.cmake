# Windows: websocketpp, rapidjson and Boost.Asio headers from Debian's packages (through a folder of links
# to just those three, never /usr/include); JsonCpp, libcurl (with OpenSSL), libssl, libcrypto and GoogleTest cross-built from
# Debian's sources by scripts/build-win-deps.sh.
if(NOT DEFINED TAVREL_WIN_DEPS)
  set(TAVREL_WIN_DEPS ${CMAKE_SOURCE_DIR}/.cache/win-deps)
endif()
if(NOT EXISTS ${TAVREL_WIN_DEPS}/prefix/lib/libcurl.a)
  message(FATAL_ERROR "Windows dependencies missing in ${TAVREL_WIN_DEPS}: run scripts/build-win-deps.sh")
endif()

add_library(tavrel_deps INTERFACE)
target_include_directories(tavrel_deps SYSTEM INTERFACE ${TAVREL_WIN_DEPS}/prefix/include ${TAVREL_WIN_DEPS}/sysinc)
target_link_directories(tavrel_deps INTERFACE ${TAVREL_WIN_DEPS}/prefix/lib)
target_compile_definitions(tavrel_deps INTERFACE
  CURL_STATICLIB _WIN32_WINNT=0x0601 WINVER=0x0601 UNICODE _UNICODE NOMINMAX WIN32_LEAN_AND_MEAN
  _WEBSOCKETPP_CPP11_STL_)
target_compile_options(tavrel_deps INTERFACE -Wall -Wno-deprecated-declarations -Wno-unused-parameter
  # The agent's narrow texts are in the ANSI code page of the exam rooms (936): its Chinese messages must
  # reach the log file and the message boxes as GBK bytes, as the sources' UTF-8 would not.
  -finput-charset=UTF-8 -fexec-charset=GBK)
target_link_libraries(tavrel_deps INTERFACE
  curl jsoncpp ssl crypto z ws2_32 wintrust crypt32 bcrypt advapi32 winmm user32 gdi32 shell32 shlwapi iphlpapi version mswsock ole32)
# One self-contained executable: no MinGW runtime DLLs to carry into a room PC or a Wine prefix.
target_link_options(tavrel_deps INTERFACE -static -static-libgcc -static-libstdc++)

add_library(GTest::gtest STATIC IMPORTED)
set_target_properties(GTest::gtest PROPERTIES IMPORTED_LOCATION ${TAVREL_WIN_DEPS}/prefix/lib/libgtest.a
  INTERFACE_INCLUDE_DIRECTORIES ${TAVREL_WIN_DEPS}/prefix/include)
add_library(GTest::gtest_main STATIC IMPORTED)
set_target_properties(GTest::gtest_main PROPERTIES IMPORTED_LOCATION ${TAVREL_WIN_DEPS}/prefix/lib/libgtest_main.a
  INTERFACE_LINK_LIBRARIES GTest::gtest)
add_library(GTest::gmock STATIC IMPORTED)
set_target_properties(GTest::gmock PROPERTIES IMPORTED_LOCATION ${TAVREL_WIN_DEPS}/prefix/lib/libgmock.a
  INTERFACE_LINK_LIBRARIES GTest::gtest)
