# Compresses IN into OUT with gzip -9n: the most compression, and neither the file's name nor its
# time in the header, so that the same input always gives the same bytes (as Debian wants).
#   cmake -DIN=man/qor.1 -DOUT=qor.1.gz -P cmake/gzip.cmake
find_program(QOR_GZIP gzip REQUIRED)
execute_process(COMMAND ${QOR_GZIP} -9n -c ${IN} OUTPUT_FILE ${OUT} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE ${OUT})
  message(FATAL_ERROR "gzip could not compress ${IN}")
endif()
