# Registers the page tests of tests/pages for one host program: every *_test.js after the
# assertion helper, judged by tests/pages/run_page.cmake, or, when it comes with a .bus file, by
# tests/pages/run_bus_page.sh, which puts the host on the virtual bus with a dimmer.
#   PREFIX  the tests' name prefix ("page_" for brevanto-host)
#   HOST    the program, called as brevanto-host is
#   ENV     more environment of the tests (a list of NAME=VALUE)
function(brevanto_page_tests)
    cmake_parse_arguments(PAGES "" "PREFIX;HOST" "ENV" ${ARGN})
    set(pages ${CMAKE_SOURCE_DIR}/tests/pages)
    file(GLOB page_tests CONFIGURE_DEPENDS ${pages}/*_test.js)
    set(tests)
    foreach(page ${page_tests})
        get_filename_component(name ${page} NAME_WE)
        if(NOT EXISTS ${pages}/${name}.bus)
            add_test(NAME ${PAGES_PREFIX}${name}
                COMMAND ${CMAKE_COMMAND} -DHOST=${PAGES_HOST}
                        -DMODULE=$<TARGET_FILE:brevanto> -DDATA=${BREVANTO_PAGE_TEST_DATA}
                        -DHELPER=${pages}/helper.js -DPAGE=${page} -P ${pages}/run_page.cmake
                WORKING_DIRECTORY ${pages})
        elseif(TARGET brevanto-bus)
            add_test(NAME ${PAGES_PREFIX}${name}
                COMMAND ${pages}/run_bus_page.sh $<TARGET_FILE:brevanto-bus> ${PAGES_HOST}
                        $<TARGET_FILE:brevanto> ${BREVANTO_PAGE_TEST_DATA} ${pages}/helper.js
                        ${page}
                WORKING_DIRECTORY ${pages})
        else()
            continue()
        endif()
        list(APPEND tests ${name})
    endforeach()

    if(TARGET brevanto-bus)
        # The network's restart request comes thirty seconds of real time after the page arms
        # the panel: one test runs it in every host at once, registered once all are known.
        get_property(restart_hosts GLOBAL PROPERTY BREVANTO_RESTART_HOSTS)
        if(NOT restart_hosts)
            cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL brevanto_restart_test)
        endif()
        set_property(GLOBAL APPEND PROPERTY BREVANTO_RESTART_HOSTS ${PAGES_HOST})
        set_property(GLOBAL APPEND PROPERTY BREVANTO_RESTART_ENV ${PAGES_ENV})
    endif()
    foreach(name ${tests})
        set_tests_properties(${PAGES_PREFIX}${name} PROPERTIES
            ENVIRONMENT
                "BREVANTO_SETTINGS=${CMAKE_BINARY_DIR}/test-settings/${PAGES_PREFIX}${name}.reg;${PAGES_ENV}"
            TIMEOUT 60 COST 10)
    endforeach()
endfunction()

function(brevanto_restart_test)
    get_property(hosts GLOBAL PROPERTY BREVANTO_RESTART_HOSTS)
    get_property(env GLOBAL PROPERTY BREVANTO_RESTART_ENV)
    set(pages ${CMAKE_SOURCE_DIR}/tests/pages)
    add_test(NAME page_network_restart
        COMMAND ${pages}/run_network_restart.sh $<TARGET_FILE:brevanto-bus>
                $<TARGET_FILE:brevanto> ${BREVANTO_PAGE_TEST_DATA} ${pages} ${hosts})
    # Costs start the longest tests first, even before ctest has timed them: the others run
    # beside their waits.
    set_tests_properties(page_network_restart PROPERTIES ENVIRONMENT "${env}" TIMEOUT 120
        COST 1000)
endfunction()
