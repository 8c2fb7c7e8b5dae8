# Runs one page test in the host and judges it: the host's exit status must be the expected one
# (0: the page called done()), and its output must hold every expected text. A page states what
# differs from the defaults in comment lines of its own:
#   // exit: N              the exit status expected instead of 0
#   // host-timeout: N      the host's --timeout in seconds instead of 20
#   // expect-output: TEXT  TEXT must appear in what the host printed (stdout and stderr)
#   // host-clock: TIME     the host's --clock (local time "YYYY-MM-DD HH:MM:SS")
#   // host-env: NAME=VALUE an environment variable of the host (TZ, say)
# Usage: cmake -DHOST=... -DMODULE=... -DDATA=... -DHELPER=... -DPAGE=... -P run_page.cmake
foreach(var HOST MODULE DATA HELPER PAGE)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "run_page.cmake: ${var} is not set")
    endif()
endforeach()

set(expected_exit 0)
set(timeout 20)
set(expected_texts)
set(extra_args)
file(STRINGS "${PAGE}" directives
     REGEX "^// (exit|host-timeout|expect-output|host-clock|host-env): ")
foreach(line IN LISTS directives)
    if(line MATCHES "^// exit: ([0-9]+)$")
        set(expected_exit ${CMAKE_MATCH_1})
    elseif(line MATCHES "^// host-timeout: ([0-9]+)$")
        set(timeout ${CMAKE_MATCH_1})
    elseif(line MATCHES "^// expect-output: (.+)$")
        list(APPEND expected_texts "${CMAKE_MATCH_1}")
    elseif(line MATCHES "^// host-clock: (.+)$")
        list(APPEND extra_args --clock "${CMAKE_MATCH_1}")
    elseif(line MATCHES "^// host-env: ([A-Za-z_][A-Za-z0-9_]*)=(.*)$")
        set(ENV{${CMAKE_MATCH_1}} "${CMAKE_MATCH_2}")
    endif()
endforeach()

execute_process(
    COMMAND "${HOST}" --timeout ${timeout} ${extra_args} --data "${DATA}" --module "${MODULE}"
            "${HELPER}" "${PAGE}"
    RESULT_VARIABLE status
    OUTPUT_VARIABLE output
    ERROR_VARIABLE output)
message("${output}")

set(failed FALSE)
if(NOT status STREQUAL expected_exit)
    message(SEND_ERROR "the host ended with ${status}, expected ${expected_exit}")
    set(failed TRUE)
endif()
foreach(text IN LISTS expected_texts)
    string(FIND "${output}" "${text}" at)
    if(at EQUAL -1)
        message(SEND_ERROR "the host did not print: ${text}")
        set(failed TRUE)
    endif()
endforeach()
if(failed)
    message(FATAL_ERROR "page test ${PAGE} failed")
endif()
