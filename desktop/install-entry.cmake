# Run by `cmake --install` (and CPack): writes the desktop entry with the
# Exec line of the program as installed under this install's prefix, and
# installs it. The variables spotfall_* are set just before, in
# desktop/CMakeLists.txt.
if(IS_ABSOLUTE "${spotfall_bindir}")
  set(program "${spotfall_bindir}/spotfall")
else()
  set(program "${CMAKE_INSTALL_PREFIX}/${spotfall_bindir}/spotfall")
endif()
# A path with a character that the Exec line reserves is quoted, as the
# desktop entry format wants: inside the quotes " ` $ and \ take a
# backslash, and the whole value's backslashes and percent signs are doubled.
if(program MATCHES "[^A-Za-z0-9/._+-]")
  string(REGEX REPLACE "([\"`$\\\\])" "\\\\\\1" program "${program}")
  string(REPLACE "\\" "\\\\" program "${program}")
  string(REPLACE "%" "%%" program "${program}")
  set(program "\"${program}\"")
endif()
file(READ "${spotfall_entry_template}" entry)
string(REPLACE [[@program@]] "${program}" entry "${entry}")
# Written first to a folder of this install's own in the build, so that
# installs to other prefixes at the same time do not mix their entries.
string(MD5 install_key "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(written "${spotfall_entry_dir}/${install_key}/${spotfall_entry_name}")
file(WRITE "${written}" "${entry}")
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/${spotfall_applications_dir}"
     TYPE FILE FILES "${written}")
file(REMOVE_RECURSE "${spotfall_entry_dir}/${install_key}")
