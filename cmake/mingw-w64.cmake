# Cross-compiling for Windows x64 with the mingw-w64 GCC (POSIX threads flavour) from a Linux host.
#   cmake --toolchain cmake/mingw-w64.cmake ...
# The C++ runtime (libstdc++, libgcc, winpthread) is linked into every DLL, so a built module needs
# nothing beside it but python313.dll, the package's own DLLs and Windows' system DLLs.
# --exclude-libs,ALL keeps those static libraries' symbols out of each DLL's exports (otherwise the
# modules export, and then clash on, libgcc's _Unwind_Resume and its kind).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(PANEKIT_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${PANEKIT_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PANEKIT_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${PANEKIT_MINGW_TRIPLET}-windres)
set(CMAKE_AR ${PANEKIT_MINGW_TRIPLET}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${PANEKIT_MINGW_TRIPLET}-gcc-ranlib-posix CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${PANEKIT_MINGW_TRIPLET})
# Programs (the build interpreter, ninja) and CMake packages (nanobind's) come from the host;
# libraries and headers from the target's root or from paths given explicitly.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)

set(_pk_static "-static -static-libgcc -static-libstdc++ -Wl,--exclude-libs,ALL")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_pk_static}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_pk_static}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_pk_static}")
