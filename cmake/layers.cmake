# The program's layers: app → shell → windows → widgets → core. A library's files
# may include headers of their own folder and of the layers below, never of a layer
# above. Every library links only downward; tarnwick_layer_check makes an include
# that points back up fail the library's build, since all folders share one include
# root.
#
# Included, this file defines tarnwick_layer_check; run with `cmake -P`, it is the
# check itself.

if(CMAKE_SCRIPT_MODE_FILE)
    # -DTARGET=name -DFILES=a.cpp,b.h -DFORBID=shell,windows -DSTAMP=file
    string(REPLACE "," ";" files "${FILES}")
    string(REPLACE "," "|" forbidden "${FORBID}")
    set(found "")
    foreach(file IN LISTS files)
        file(STRINGS "${file}" includes REGEX "^[ \t]*#[ \t]*include")
        foreach(line IN LISTS includes)
            if(line MATCHES "include[ \t]*[<\"]([^>\"]*)[>\"]")
                if(CMAKE_MATCH_1 MATCHES "(^|/)(${forbidden})/")
                    string(APPEND found "\n  ${file}: ${line}")
                endif()
            endif()
        endforeach()
    endforeach()
    if(found)
        string(REPLACE "," ", " forbid_list "${FORBID}")
        message(FATAL_ERROR
            "${TARGET} includes from a layer above it (${forbid_list}); "
            "layers include only downward: app → shell → windows → widgets → core.${found}")
    endif()
    file(TOUCH "${STAMP}")
    return()
endif()

set(TARNWICK_LAYERS_SCRIPT ${CMAKE_CURRENT_LIST_FILE})

# tarnwick_layer_check(TARGET FORBID folder...): the target's build fails while one of
# its source files includes a header from one of the folders (or Qt modules) named.
function(tarnwick_layer_check target)
    cmake_parse_arguments(L "" "" "FORBID" ${ARGN})
    get_target_property(sources ${target} SOURCES)
    get_target_property(source_dir ${target} SOURCE_DIR)
    set(files "")
    foreach(source IN LISTS sources)
        if(source MATCHES "\\.(h|cpp)$" AND NOT source MATCHES "^\\$<")
            cmake_path(ABSOLUTE_PATH source BASE_DIRECTORY ${source_dir} OUTPUT_VARIABLE file)
            list(APPEND files ${file})
        endif()
    endforeach()
    string(JOIN "," file_arg ${files})
    string(JOIN "," forbid_arg ${L_FORBID})
    set(stamp ${CMAKE_CURRENT_BINARY_DIR}/${target}.layers)
    add_custom_command(OUTPUT ${stamp}
        COMMAND ${CMAKE_COMMAND} -DTARGET=${target} -DFILES=${file_arg}
                -DFORBID=${forbid_arg} -DSTAMP=${stamp} -P ${TARNWICK_LAYERS_SCRIPT}
        DEPENDS ${files} ${TARNWICK_LAYERS_SCRIPT}
        COMMENT "Checking the includes of ${target} against its layer"
        VERBATIM)
    add_custom_target(${target}_layers DEPENDS ${stamp})
    add_dependencies(${target} ${target}_layers)
endfunction()
