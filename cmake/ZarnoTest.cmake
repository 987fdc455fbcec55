# zarno_add_test(NAME name SOURCES file... LIBS target... [RUN_WITH command...])
# zarno_add_test(NAME name PROGRAM test [ARGS argument...] [RUN_WITH command...])
#   runs a test program built by another zarno_add_test once more, elsewhere.
# One Qt Test program under CTest, run headless with private settings and
# runtime directories so that no test reads or writes the user's own; no
# session bus either (so never the user's keyring), unless RUN_WITH brings a
# private one.
function(zarno_add_test)
    cmake_parse_arguments(ARG "" "NAME;PROGRAM" "SOURCES;LIBS;RUN_WITH;ARGS" ${ARGN})
    set(program ${ARG_PROGRAM})
    if (NOT program)
        set(program ${ARG_NAME})
        add_executable(${ARG_NAME} ${ARG_SOURCES})
        target_link_libraries(${ARG_NAME} PRIVATE Qt6::Test ${ARG_LIBS})
    endif()
    add_test(NAME ${ARG_NAME} COMMAND ${ARG_RUN_WITH} $<TARGET_FILE:${program}> ${ARG_ARGS})
    set(home "${CMAKE_BINARY_DIR}/test-home/${ARG_NAME}")
    set_tests_properties(${ARG_NAME} PROPERTIES
        TIMEOUT 300
        ENVIRONMENT "DBUS_SESSION_BUS_ADDRESS=disabled:;QT_QPA_PLATFORM=offscreen;XDG_CONFIG_HOME=${home}/config;XDG_DATA_HOME=${home}/data;XDG_CACHE_HOME=${home}/cache;XDG_STATE_HOME=${home}/state;HOME=${home};QTWEBENGINE_DISABLE_SANDBOX=1;QTWEBENGINE_CHROMIUM_FLAGS=--disable-gpu;QT_LOGGING_RULES=qt.webenginecontext.info=false")
endfunction()
