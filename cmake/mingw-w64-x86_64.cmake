# Cross-compiles elq.exe for 64-bit Windows with Debian's mingw-w64 (the POSIX-thread variant,
# whose C++ runtime has std::thread). The program is linked statically, so it needs no DLL
# beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ELQ_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
