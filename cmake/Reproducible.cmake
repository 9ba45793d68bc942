# Reproducible builds: one commit gives the same bytes wherever and whenever it
# is built, so that anyone can rebuild a release and compare it with what was
# shipped.
#
# - Time: the linker writes the commit's time (SOURCE_DATE_EPOCH) into the PE
#   header instead of the moment of the build. SOURCE_DATE_EPOCH from the
#   environment of the configure step wins; otherwise the time of the commit
#   checked out, re-read whenever HEAD moves. Outside a git checkout, zero.
# - Paths: the source and build folders are mapped to "." and "build" in
#   everything the compiler writes (__FILE__, debug information).
# - Order: sources and libraries are listed in a fixed order in the CMake
#   files, and GNU ar writes archives without times, owners or modes
#   (its default "D" mode, checked below).
#
# OVL_LINK_MAP_DIR receives a link map of each shipped program, from which the
# bill of materials is checked against what was linked.

find_package(Git QUIET)

function(ovl_commit_time outVar)
    set(${outVar} "" PARENT_SCOPE)
    if(NOT GIT_FOUND)
        return()
    endif()
    execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${PROJECT_SOURCE_DIR}" log -1 --format=%ct HEAD
        OUTPUT_VARIABLE time OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed ERROR_QUIET)
    if(failed OR NOT time MATCHES "^[0-9]+$")
        return()
    endif()
    # A new commit or checkout configures again, so that the time follows HEAD.
    execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${PROJECT_SOURCE_DIR}" rev-parse --path-format=absolute
            --git-path logs/HEAD --git-path HEAD
        OUTPUT_VARIABLE gitFiles OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    string(REPLACE "\n" ";" gitFiles "${gitFiles}")
    foreach(file IN LISTS gitFiles)
        if(EXISTS "${file}")
            set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${file}")
        endif()
    endforeach()
    set(${outVar} "${time}" PARENT_SCOPE)
endfunction()

if(DEFINED ENV{SOURCE_DATE_EPOCH} AND "$ENV{SOURCE_DATE_EPOCH}" MATCHES "^[0-9]+$")
    set(OVL_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
else()
    ovl_commit_time(OVL_SOURCE_DATE_EPOCH)
endif()

if(OVL_SOURCE_DATE_EPOCH)
    # GNU ld takes the PE time stamp from SOURCE_DATE_EPOCH when it is set.
    set(ovlLinkTime "${CMAKE_COMMAND}" -E env "SOURCE_DATE_EPOCH=${OVL_SOURCE_DATE_EPOCH}")
    set(CMAKE_C_LINKER_LAUNCHER ${ovlLinkTime})
    set(CMAKE_CXX_LINKER_LAUNCHER ${ovlLinkTime})
    message(STATUS "PE time stamp: ${OVL_SOURCE_DATE_EPOCH} (SOURCE_DATE_EPOCH)")
else()
    add_link_options(-Wl,--no-insert-timestamp)
    message(STATUS "PE time stamp: 0 (no commit time known)")
endif()

# The build folder may lie inside the source folder: its mapping comes last,
# since the compiler tries the last matching option first.
add_compile_options(
    "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.>"
    "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${PROJECT_BINARY_DIR}=build>")

execute_process(COMMAND "${CMAKE_AR}" --help OUTPUT_VARIABLE ovlArHelp ERROR_VARIABLE ovlArHelp)
if(NOT ovlArHelp MATCHES "\\[D\\][^\n]*\\(default\\)")
    message(FATAL_ERROR "${CMAKE_AR} does not write deterministic archives by default")
endif()

set(OVL_LINK_MAP_DIR "${PROJECT_BINARY_DIR}/linkmaps")
file(MAKE_DIRECTORY "${OVL_LINK_MAP_DIR}")
# ovl_link_map(TARGET) writes TARGET's link map to OVL_LINK_MAP_DIR/TARGET.map.
function(ovl_link_map target)
    target_link_options(${target} PRIVATE "-Wl,-Map=${OVL_LINK_MAP_DIR}/${target}.map")
endfunction()
