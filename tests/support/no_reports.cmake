# Fails when a sanitizer wrote a report into REPORTS during the test run.
file(GLOB reports "${REPORTS}/*")
if(reports)
  foreach(report IN LISTS reports)
    file(READ "${report}" text)
    message("--- ${report}\n${text}")
  endforeach()
  message(FATAL_ERROR "sanitizer reports were written (above)")
endif()
