# zarno_add_test(NAME name SOURCES file... LIBS target...)
# One Qt Test program under CTest, run headless with private settings and
# runtime directories so that no test reads or writes the user's own.
function(zarno_add_test)
    cmake_parse_arguments(ARG "" "NAME" "SOURCES;LIBS" ${ARGN})
    add_executable(${ARG_NAME} ${ARG_SOURCES})
    target_link_libraries(${ARG_NAME} PRIVATE Qt6::Test ${ARG_LIBS})
    add_test(NAME ${ARG_NAME} COMMAND ${ARG_NAME})
    set(home "${CMAKE_BINARY_DIR}/test-home/${ARG_NAME}")
    set_tests_properties(${ARG_NAME} PROPERTIES
        TIMEOUT 300
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;XDG_CONFIG_HOME=${home}/config;XDG_DATA_HOME=${home}/data;XDG_CACHE_HOME=${home}/cache;HOME=${home};QTWEBENGINE_DISABLE_SANDBOX=1;QTWEBENGINE_CHROMIUM_FLAGS=--disable-gpu;QT_LOGGING_RULES=qt.webenginecontext.info=false")
endfunction()
