# corvella_layer(<target> [DEPS targets...] [PRIVATE_DEPS targets...])
# One static library per source folder: every .cpp of the calling folder is
# part of it, and headers are included as "<layer>/<Header>.h" from src/.
function(corvella_layer target)
    cmake_parse_arguments(ARG "" "" "DEPS;PRIVATE_DEPS" ${ARGN})
    file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
    file(GLOB headers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
    if(sources)
        add_library(${target} STATIC ${sources} ${headers})
        target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/src)
        target_link_libraries(${target} PUBLIC corvella_options Threads::Threads ${ARG_DEPS})
        target_link_libraries(${target} PRIVATE ${ARG_PRIVATE_DEPS})
    else()
        add_library(${target} INTERFACE)
        target_include_directories(${target} INTERFACE ${PROJECT_SOURCE_DIR}/src)
        target_link_libraries(${target} INTERFACE corvella_options Threads::Threads ${ARG_DEPS})
    endif()
endfunction()

# corvella_gtest(<name> SOURCES files... LIBS targets... [LABELS labels...] [ENVIRONMENT vars...]
#                [SLOW gtest-filter])
# A GoogleTest executable whose cases CTest sees one by one. The labels say
# what a test needs: `unit` nothing but the code, `peer` real protocol peers
# the tests start (the SQL Server wire-protocol and SMTP test servers, the
# program itself), `slow` much more time than the rest: the cases matching
# SLOW are labelled `slow` alone.
function(corvella_gtest name)
    cmake_parse_arguments(ARG "" "SLOW" "SOURCES;LIBS;LABELS;ENVIRONMENT" ${ARGN})
    if(NOT ARG_SOURCES)
        return()
    endif()
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE corvella_options GTest::gtest GTest::gtest_main GTest::gmock ${ARG_LIBS})
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    target_compile_definitions(${name} PRIVATE
        CORVELLA_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
        CORVELLA_BINARY_DIR="${PROJECT_BINARY_DIR}")
    # A property value that is a list must reach the generated test file
    # with its separators escaped; an empty one is left out altogether.
    string(REPLACE ";" "\\;" labels "${ARG_LABELS}")
    set(properties LABELS "${labels}" TIMEOUT 300)
    if(ARG_ENVIRONMENT)
        string(REPLACE ";" "\\;" environment "${ARG_ENVIRONMENT}")
        list(APPEND properties ENVIRONMENT "${environment}")
    endif()
    if(ARG_SLOW)
        gtest_discover_tests(${name} TEST_FILTER "-${ARG_SLOW}" DISCOVERY_TIMEOUT 60 PROPERTIES ${properties})
        gtest_discover_tests(${name} TEST_FILTER "${ARG_SLOW}" DISCOVERY_TIMEOUT 60
            PROPERTIES LABELS slow TIMEOUT 600)
    else()
        gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${properties})
    endif()
endfunction()
