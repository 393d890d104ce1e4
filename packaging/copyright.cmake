# Writes the package's copyright file in Debian's machine-readable format
# (DEP-5) from the repository's LICENSE, so that the license is written down
# once:
#   cmake -DNAME=... -DCONTACT=... -DLICENSE=... -DOUTPUT=... -P copyright.cmake
# LICENSE is the MIT license: a title, the copyright line, then the text.
# Debian calls this license "Expat" (its "MIT" names several licenses).
file(READ "${LICENSE}" license)
if(NOT license MATCHES "Copyright \\(c\\) ([^\n]+)\n+(Permission is hereby granted[^\n]*\n.*)$")
  message(FATAL_ERROR "${LICENSE}: not the MIT license with one copyright line")
endif()
set(holder "${CMAKE_MATCH_1}")
string(STRIP "${CMAKE_MATCH_2}" text)
# In a field's text every line is indented by one space and an empty line
# is written as " .".
string(REPLACE "\n\n" "\n.\n" text "${text}")
string(REPLACE "\n" "\n " text "${text}")
file(WRITE "${OUTPUT}" "\
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${NAME}
Upstream-Contact: ${CONTACT}

Files: *
Copyright: ${holder}
License: Expat
 ${text}
")
