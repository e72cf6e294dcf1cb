# Renders the man page PAGE as plain text into TEXT with MANDOC, without
# overstriking for bold and underline. For the Windows zip (WINDOWS true) the
# text begins with a line that sends cmd and PowerShell users to README.txt,
# since the pages' examples are written for POSIX shells, and has CRLF line
# ends.
execute_process(COMMAND ${MANDOC} -T ascii ${PAGE} OUTPUT_VARIABLE text RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "mandoc could not render ${PAGE}")
endif()
string(ASCII 8 backspace)
string(REGEX REPLACE ".${backspace}" "" text "${text}")
if(WINDOWS)
  set(text "Examples below are for POSIX shells; for cmd and PowerShell see README.txt.\n\n${text}")
  string(REPLACE "\n" "\r\n" text "${text}")
endif()
file(WRITE ${TEXT} "${text}")
