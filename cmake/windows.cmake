# spotfall.exe: the same program, with the Windows platform file in place
# of the X11/POSIX ones, linked statically against Allegro's Windows
# library so that it imports only Windows' own DLLs, and packed by
# `cpack -G ZIP` as spotfall-<version>-windows-x86_64.zip with its
# licences and a README for Windows users. scripts/package --windows
# builds the library and passes its folder in CMAKE_FIND_ROOT_PATH.
find_path(ALLEGRO_WINDOWS_INCLUDE_DIR allegro.h)
find_library(ALLEGRO_WINDOWS_LIBRARY alleg)
if(NOT ALLEGRO_WINDOWS_INCLUDE_DIR OR NOT ALLEGRO_WINDOWS_LIBRARY)
  message(FATAL_ERROR "no static Allegro for Windows (liballeg.a and allegro.h) under "
                      "CMAKE_FIND_ROOT_PATH (${CMAKE_FIND_ROOT_PATH}); scripts/package --windows builds one")
endif()
set(SPOTFALL_ALLEGRO_LICENSE "${ALLEGRO_WINDOWS_INCLUDE_DIR}/../allegro-license.txt" CACHE FILEPATH
    "Allegro's licence, shipped beside the program")

# WIN32: a GUI program, no console window; the library's END_OF_MAIN gives WinMain.
add_executable(spotfall WIN32 src/spotfall.cpp src/endings.cpp src/windows.cpp)
target_include_directories(spotfall PRIVATE ${ALLEGRO_WINDOWS_INCLUDE_DIR})
# The library's headers declare its functions for a static library only with this.
target_compile_definitions(spotfall PRIVATE ALLEGRO_STATICLINK)
# Allegro and the Windows libraries its DirectX drivers use; the C and C++
# runtimes and the threads linked in too, so nothing but system DLLs is needed.
target_link_libraries(spotfall PRIVATE ${ALLEGRO_WINDOWS_LIBRARY}
  kernel32 user32 gdi32 comdlg32 ole32 dinput ddraw dxguid winmm dsound)
target_link_options(spotfall PRIVATE -static -static-libgcc -static-libstdc++)

install(TARGETS spotfall RUNTIME DESTINATION .)
install(FILES LICENSE DESTINATION . RENAME LICENSE.txt)
install(FILES ${SPOTFALL_ALLEGRO_LICENSE} DESTINATION . RENAME ALLEGRO-LICENSE.txt)
# The README with the version in, and with Windows' line ends.
file(READ windows/README.txt readme)
string(REPLACE "@VERSION@" "${PROJECT_VERSION}" readme "${readme}")
string(REPLACE "\n" "\r\n" readme "${readme}")
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/README.txt "${readme}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${CMAKE_CURRENT_SOURCE_DIR}/windows/README.txt)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.txt DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME spotfall)
set(CPACK_PACKAGE_FILE_NAME spotfall-${PROJECT_VERSION}-windows-x86_64)
# The files sit in a folder of that name inside the zip.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
