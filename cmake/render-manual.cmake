# Renders the manual page PAGE as plain text into OUT, with Windows line ends: groff's terminal
# output without bold, underlining or escape sequences, or the page's source where groff is
# missing.
#   cmake -DPAGE=man/qor.1 -DOUT=qor.txt -P cmake/render-manual.cmake
find_program(QOR_GROFF groff)
set(text "")
if(QOR_GROFF)
  execute_process(COMMAND ${QOR_GROFF} -man -Tutf8 -P-c -P-b -P-o -P-u ${PAGE}
                  OUTPUT_VARIABLE text RESULT_VARIABLE status ERROR_QUIET)
  if(NOT status EQUAL 0)
    set(text "")
  endif()
endif()
if(text STREQUAL "")
  file(READ ${PAGE} text)
endif()
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUT} "${text}")
