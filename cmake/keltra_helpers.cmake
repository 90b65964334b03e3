# Project functions: test executables with time limits, and test plug-in libraries.

# keltra_add_test(<name> SOURCES <files...> [LIBS <targets...>] [PLUGINS <plug-in targets...>]
#                 [TIMEOUT <seconds>] [LOCK <resource>])
# One GoogleTest executable; each test case becomes a ctest test with a time limit. Tests that
# name the same LOCK never run at the same time (they share a machine-wide resource).
function(keltra_add_test name)
    cmake_parse_arguments(ARG "" "TIMEOUT;LOCK" "SOURCES;LIBS;PLUGINS" ${ARGN})
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 60)
    endif()
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} keltra_test_support GTest::gtest GTest::gmock)
    if(ARG_PLUGINS)
        add_dependencies(${name} ${ARG_PLUGINS})
    endif()
    set(_lock)
    if(ARG_LOCK)
        set(_lock RESOURCE_LOCK ${ARG_LOCK})
    endif()
    gtest_discover_tests(${name}
        DISCOVERY_MODE PRE_TEST
        DISCOVERY_TIMEOUT 60
        PROPERTIES TIMEOUT ${ARG_TIMEOUT} ${_lock})
endfunction()

# keltra_add_tests_here(<prefix> LIBS <targets...> [TIMEOUT <seconds>] [LOCK <resource>]
#                       [DEPENDS <targets...>])
# Every *_test.cpp in the calling directory becomes the test program <prefix>_<file name>,
# with the test plug-ins and DEPENDS built first and TIMEOUT (default 120 s) per test case;
# *_win32_test.cpp and *_posix_test.cpp are built only on their platform. LOCK as for
# keltra_add_test.
function(keltra_add_tests_here prefix)
    cmake_parse_arguments(ARG "" "TIMEOUT;LOCK" "LIBS;DEPENDS" ${ARGN})
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 120)
    endif()
    set(_lock)
    if(ARG_LOCK)
        set(_lock LOCK ${ARG_LOCK})
    endif()
    file(GLOB _tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
    foreach(_src ${_tests})
        get_filename_component(_name ${_src} NAME_WE)
        if((_name MATCHES "_win32_test$" AND NOT WIN32) OR (_name MATCHES "_posix_test$" AND WIN32))
            continue()
        endif()
        keltra_add_test(${prefix}_${_name} SOURCES ${_src} LIBS ${ARG_LIBS}
            PLUGINS keltra_test_plugins TIMEOUT ${ARG_TIMEOUT} ${_lock})
        if(ARG_DEPENDS)
            add_dependencies(${prefix}_${_name} ${ARG_DEPENDS})
        endif()
    endforeach()
endfunction()

# keltra_add_plugin(<name> SOURCES <files...> [DEFINES <defs...>])
# A real plug-in library (a DLL on Windows, a shared object elsewhere) named exactly <name>.
function(keltra_add_plugin name)
    cmake_parse_arguments(ARG "" "" "SOURCES;DEFINES" ${ARGN})
    add_library(${name} MODULE ${ARG_SOURCES})
    set_target_properties(${name} PROPERTIES PREFIX "")
    target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/include)
    if(ARG_DEFINES)
        target_compile_definitions(${name} PRIVATE ${ARG_DEFINES})
    endif()
endfunction()
