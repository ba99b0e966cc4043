# The genuine Windows build: link/, monitor/ and ui/ against the real Win32 headers,
# ifdiag.rc through windres, one GUI-subsystem ifdiag.exe. platform/posix and
# platform/qt stay out; on Windows the platform is Windows itself.
#
# Included by the top-level CMakeLists.txt when WIN32 (cross builds use
# cmake/mingw-w64.cmake as the toolchain file).

enable_language(RC)
find_package(Threads REQUIRED)

# Nothing beyond Windows' own DLLs: the C++ runtime, libgcc and winpthreads go in whole.
add_link_options(-static -static-libgcc -static-libstdc++)

set(IFDIAG_LINK_SOURCES ${CMAKE_SOURCE_DIR}/link/link.cpp) # the tests build it once more

add_library(ifdiag_link STATIC ${IFDIAG_LINK_SOURCES})
target_link_libraries(ifdiag_link PUBLIC Threads::Threads)

add_library(ifdiag_monitor STATIC ${CMAKE_SOURCE_DIR}/monitor/iostate.cpp
                                  ${CMAKE_SOURCE_DIR}/monitor/poll.cpp)
target_link_libraries(ifdiag_monitor PUBLIC ifdiag_link winmm)

# The program: WinMain is the system's own, the C runtime calls it (-mwindows).
set(IFDIAG_RC ${CMAKE_SOURCE_DIR}/resources/ifdiag.rc)
add_executable(ifdiag WIN32 ${CMAKE_SOURCE_DIR}/ui/mainwnd.cpp ${CMAKE_SOURCE_DIR}/ui/testdlg.cpp
                            ${IFDIAG_RC})
# resource.h is found beside the script (and tracked by CMake's scan of it); the icon is
# neither: windres runs in the build folder and finds it on the include path.
set_source_files_properties(${IFDIAG_RC} PROPERTIES
  OBJECT_DEPENDS ${CMAKE_SOURCE_DIR}/resources/ifdiag.ico)
target_include_directories(ifdiag PRIVATE ${CMAKE_SOURCE_DIR}/resources)
target_link_libraries(ifdiag PRIVATE ifdiag_monitor ifdiag_link user32 gdi32 winmm)
install(TARGETS ifdiag RUNTIME DESTINATION bin)

# Fails the build when the program would need a DLL that Windows does not ship.
set(IFDIAG_ALLOWED_DLLS "KERNEL32.dll;USER32.dll;GDI32.dll;WINMM.dll;msvcrt.dll")
find_program(IFDIAG_OBJDUMP NAMES ${CMAKE_CXX_COMPILER_TARGET}-objdump x86_64-w64-mingw32-objdump objdump)
if(IFDIAG_OBJDUMP)
  add_custom_command(TARGET ifdiag POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${IFDIAG_OBJDUMP} -DEXE=$<TARGET_FILE:ifdiag>
            "-DALLOWED=${IFDIAG_ALLOWED_DLLS}" -P ${CMAKE_SOURCE_DIR}/cmake/check-dlls.cmake
    VERBATIM)
endif()

if(IFDIAG_BUILD_TESTS AND EXISTS ${CMAKE_SOURCE_DIR}/tests/windows/CMakeLists.txt)
  enable_testing()
  add_subdirectory(tests/windows)
endif()
