# Cross-compiles elq.exe for 32-bit Windows with Debian's mingw-w64. Double arithmetic runs in
# SSE2 registers, so every operation is rounded to double as on the other builds.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ELQ_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
