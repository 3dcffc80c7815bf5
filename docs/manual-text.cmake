# The manual page as plain text for the Windows archive: rendered by groff
# without bold or underline (neither escape codes nor overstrikes), each line
# ended by CR LF as Notepad wants.
#   cmake -DGROFF=groff -DIN=tail.1 -DOUT=tail.txt -P manual-text.cmake
execute_process(COMMAND "${GROFF}" -man -Tascii -P-cbou -ww "${IN}"
  OUTPUT_VARIABLE text ERROR_VARIABLE errors RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR NOT errors STREQUAL "")
  message(FATAL_ERROR "groff could not render ${IN} (${result}): ${errors}")
endif()
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE "${OUT}" "${text}")
