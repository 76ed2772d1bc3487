# SPDX-License-Identifier: MIT
# Renders the man page as plain text with CR LF line ends, the manual of the
# Windows zip:  cmake -DGROFF=... -DMAN=kvf_unpack.1 -DTEXT=kvf_unpack.txt -P render_manual.cmake
execute_process(
  COMMAND ${GROFF} -t -man -Tascii -P-cbou ${MAN}
  OUTPUT_VARIABLE text
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "groff could not render ${MAN}")
endif()
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${TEXT} "${text}")
