# The same sources as a 64-bit Windows build, for running the Windows suites under Wine on a
# host without a 32-bit Wine (its kernel runs no 32-bit code, or its mirror could not give
# one). Nothing of it ships: the product is the 32-bit build.
set(MF_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

# Debian keeps Wine's 64-bit loader off the PATH.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
