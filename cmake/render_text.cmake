# Renders the man page PAGE as plain text into TEXT with MANDOC: no
# overstriking for bold and underline, CRLF line ends when CRLF is true.
execute_process(COMMAND ${MANDOC} -T ascii ${PAGE} OUTPUT_VARIABLE text RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "mandoc could not render ${PAGE}")
endif()
string(ASCII 8 backspace)
string(REGEX REPLACE ".${backspace}" "" text "${text}")
if(CRLF)
  string(REPLACE "\n" "\r\n" text "${text}")
endif()
file(WRITE ${TEXT} "${text}")
