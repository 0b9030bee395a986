# Writes dist/copyright in the build directory: LICENSE in Debian's
# machine-readable copyright format, installed as <docdir>/copyright. LICENSE
# stays the one copy of the licence: its first paragraph holds the copyright
# lines, the rest is the licence text.

file(READ "${PROJECT_SOURCE_DIR}/LICENSE" lapsero_license)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/LICENSE")
string(FIND "${lapsero_license}" "\n\n" lapsero_split)
if(lapsero_split LESS 0)
  message(FATAL_ERROR "LICENSE: no empty line after the copyright lines")
endif()
string(SUBSTRING "${lapsero_license}" 0 ${lapsero_split} LAPSERO_COPYRIGHT)
string(REGEX REPLACE "(^|\n)Copyright \\(c\\) " "\\1" LAPSERO_COPYRIGHT "${LAPSERO_COPYRIGHT}")
string(REPLACE "\n" "\n           " LAPSERO_COPYRIGHT "${LAPSERO_COPYRIGHT}")
math(EXPR lapsero_split "${lapsero_split} + 2")
string(SUBSTRING "${lapsero_license}" ${lapsero_split} -1 LAPSERO_LICENSE_TEXT)
string(STRIP "${LAPSERO_LICENSE_TEXT}" LAPSERO_LICENSE_TEXT)
# A continuation line starts with a space; an empty line becomes " .".
string(REPLACE "\n\n" "\n.\n" LAPSERO_LICENSE_TEXT "${LAPSERO_LICENSE_TEXT}")
string(REPLACE "\n" "\n " LAPSERO_LICENSE_TEXT "${LAPSERO_LICENSE_TEXT}")
configure_file("${PROJECT_SOURCE_DIR}/dist/debian/copyright.in"
  "${PROJECT_BINARY_DIR}/dist/copyright" @ONLY)
