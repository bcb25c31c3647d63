# spotfall.exe: the same program, with the Windows platform file in place
# of the X11/POSIX ones, linked statically against Allegro's Windows
# library so that it imports only Windows' own DLLs, and packed by
# `cpack -G ZIP` as spotfall-<version>-windows-x86_64.zip with its
# licences and a README for Windows users. scripts/package --windows
# builds the library and passes the folder it is installed in as
# ALLEGRO_WINDOWS_PREFIX (given again on every configure, so a rebuilt
# library in a new folder is the one linked).
set(ALLEGRO_WINDOWS_PREFIX "" CACHE PATH
    "Folder of Allegro's static Windows library (lib/liballeg.a, include/, allegro-license.txt)")
set(allegro_library ${ALLEGRO_WINDOWS_PREFIX}/lib/liballeg.a)
set(allegro_include ${ALLEGRO_WINDOWS_PREFIX}/include)
set(allegro_license ${ALLEGRO_WINDOWS_PREFIX}/allegro-license.txt)
if(NOT EXISTS ${allegro_library} OR NOT EXISTS ${allegro_include}/allegro.h
   OR NOT EXISTS ${allegro_license})
  message(FATAL_ERROR "no static Allegro for Windows in ALLEGRO_WINDOWS_PREFIX "
                      "('${ALLEGRO_WINDOWS_PREFIX}'); scripts/package --windows builds one")
endif()

# WIN32: a GUI program, no console window; the library's END_OF_MAIN gives WinMain.
add_executable(spotfall WIN32 src/spotfall.cpp src/endings.cpp src/windows.cpp)
target_include_directories(spotfall PRIVATE ${allegro_include})
# The library's headers declare its functions for a static library only with this.
target_compile_definitions(spotfall PRIVATE ALLEGRO_STATICLINK)
# Allegro and the Windows libraries its DirectX drivers use; the C and C++
# runtimes and the threads linked in too, so nothing but system DLLs is needed.
target_link_libraries(spotfall PRIVATE ${allegro_library}
  kernel32 user32 gdi32 comdlg32 ole32 dinput ddraw dxguid winmm dsound)
target_link_options(spotfall PRIVATE -static -static-libgcc -static-libstdc++)

install(TARGETS spotfall RUNTIME DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)
install(FILES ${allegro_license} DESTINATION . RENAME ALLEGRO-LICENSE.txt)
# The README with the version in, and with Windows' line ends.
file(READ ${PROJECT_SOURCE_DIR}/windows/README.txt readme)
string(REPLACE "@VERSION@" "${PROJECT_VERSION}" readme "${readme}")
string(REPLACE "\n" "\r\n" readme "${readme}")
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/README.txt "${readme}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${PROJECT_SOURCE_DIR}/windows/README.txt)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.txt DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME spotfall)
set(CPACK_PACKAGE_FILE_NAME spotfall-${PROJECT_VERSION}-windows-x86_64)
# The files sit in a folder of that name inside the zip.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
