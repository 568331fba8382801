# Writes one text file of the Windows zip, with CR LF line ends so that every
# Windows editor shows its lines; run at build time:
#   cmake -DIN=README.md -DOUT=README.txt -P cmake/windows_text.cmake
# or, for the manual page rendered as plain text (no bold, no underlining,
# no words broken at line ends):
#   cmake -DGROFF=/usr/bin/groff -DIN=docs/keyfolder.1 -DOUT=keyfolder.txt -P cmake/windows_text.cmake
if(GROFF)
  execute_process(COMMAND ${GROFF} -man -Tascii -P-c -P-b -P-o -P-u -rHY=0 ${IN}
    OUTPUT_VARIABLE text
    ERROR_VARIABLE diagnostics
    RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR diagnostics)
    message(FATAL_ERROR "groff could not render ${IN}: ${diagnostics}")
  endif()
else()
  file(READ ${IN} text)
endif()
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUT} "${text}")
