# Writes the manual page tavfit.1 (and tavfit.1.gz) from the built program's
# own --help, --version and -list output with help2man, plus tavfit.h2m for
# the sections --help does not hold.  Run as
#   cmake -DTAVFIT=<binary> -DHELP2MAN=<help2man> -DSOURCE=<dist dir> -DOUT=<dir> -P manpage.cmake
cmake_minimum_required(VERSION 3.16)

execute_process(COMMAND ${TAVFIT} -list OUTPUT_VARIABLE list RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${TAVFIT} -list failed")
endif()

# One tagged paragraph per model: keyword, then label, parameters and X2.
set(models "[MODELS]\nThe keywords of\n.BR \\-fit ,\nas\n.B \"tavfit \\-list\"\nprints them;\n.B \"tavfit \\-describe\"\n.I KEYWORD\ndescribes one model in full.\n")
string(REPLACE "\n" ";" lines "${list}")
list(REMOVE_AT lines 0)  # the header
foreach(line IN LISTS lines)
  if(line MATCHES "^([^ ]+) +([0-9]+)  (.*[^ ]) +(yes|no) +(.*)$")
    set(x2 "")
    if(CMAKE_MATCH_4 STREQUAL "yes")
      set(x2 "; needs the X2 column")
    endif()
    string(REPLACE "-" "\\-" names "${CMAKE_MATCH_3}")
    string(APPEND models ".TP\n.B ${CMAKE_MATCH_1}\n${CMAKE_MATCH_5}: ${CMAKE_MATCH_2} parameters, ${names}${x2}.\n")
  endif()
endforeach()

file(READ ${SOURCE}/tavfit.h2m include)
file(WRITE ${OUT}/tavfit.h2m "${include}\n${models}")
execute_process(
  COMMAND ${HELP2MAN} --no-info --no-discard-stderr --section=1
          --include=${OUT}/tavfit.h2m --output=${OUT}/tavfit.1 ${TAVFIT}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "help2man failed")
endif()
execute_process(COMMAND gzip -9 -n -f -k ${OUT}/tavfit.1 RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip of the manual page failed")
endif()
