# Fails when the shared library exports a name that the allow-list does not name, or
# when an allow-list entry matches nothing. Arguments: LIBRARY, ALLOWED, NM.
# An entry is a demangled name without its parameter list; "*" stands for any run of
# characters without a colon, so "OsmView::*" admits the members of OsmView but not
# those of OsmView::Private.
execute_process(COMMAND ${NM} -D --defined-only -C ${LIBRARY}
    RESULT_VARIABLE rc OUTPUT_VARIABLE listing ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${NM} failed on ${LIBRARY}: ${err}")
endif()

file(STRINGS ${ALLOWED} entries REGEX "^[^#]")
set(patterns)
foreach(entry ${entries})
    string(STRIP "${entry}" entry)
    string(REGEX REPLACE "([][.+?^$()|\\\\])" "\\\\\\1" pattern "${entry}")
    string(REPLACE "*" "[^:]*" pattern "${pattern}")
    list(APPEND patterns "^${pattern}$")
endforeach()

string(REPLACE "\n" ";" lines "${listing}")
set(unexpected)
set(used)
foreach(line ${lines})
    # "<address> <type> <name>"; the name may hold spaces ("vtable for OsmView").
    if(NOT line MATCHES "^[0-9a-f]+ [A-Za-z] (.+)$")
        continue()
    endif()
    string(REGEX REPLACE "\\(.*$" "" name "${CMAKE_MATCH_1}")
    set(allowed FALSE)
    foreach(pattern ${patterns})
        if(name MATCHES "${pattern}")
            set(allowed TRUE)
            list(APPEND used "${pattern}")
            break()
        endif()
    endforeach()
    if(NOT allowed)
        list(APPEND unexpected "${name}")
    endif()
endforeach()

list(REMOVE_DUPLICATES unexpected)
list(REMOVE_DUPLICATES used)
set(stale ${patterns})
if(used)
    list(REMOVE_ITEM stale ${used})
endif()
if(unexpected OR stale)
    list(JOIN unexpected "\n  " unexpected)
    list(JOIN stale "\n  " stale)
    message(FATAL_ERROR "exported but not allowed:\n  ${unexpected}\n"
                        "allowed but not exported:\n  ${stale}")
endif()
message(STATUS "1 passed, 0 failed")
