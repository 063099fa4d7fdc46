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

# corvella_gtest(<name> SOURCES files... LIBS targets... [LABELS labels...] [ENVIRONMENT vars...])
# A GoogleTest executable whose cases CTest sees one by one.
function(corvella_gtest name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS;ENVIRONMENT" ${ARGN})
    if(NOT ARG_SOURCES)
        return()
    endif()
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE corvella_options GTest::gtest GTest::gtest_main GTest::gmock ${ARG_LIBS})
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    target_compile_definitions(${name} PRIVATE
        CORVELLA_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
        CORVELLA_BINARY_DIR="${PROJECT_BINARY_DIR}")
    gtest_discover_tests(${name}
        DISCOVERY_TIMEOUT 60
        PROPERTIES LABELS "${ARG_LABELS}" ENVIRONMENT "${ARG_ENVIRONMENT}" TIMEOUT 300)
endfunction()
