# What both mingw-w64 toolchains share: the posix-thread compilers (GoogleTest needs
# std::mutex) of the triplet MF_MINGW_TRIPLET, and the cross root for finding things.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${MF_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MF_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MF_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MF_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
