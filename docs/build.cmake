# Runs Doxygen, then compiles its Qt help project into a .qch with qhelpgenerator.
# Arguments: DOXYGEN, QHELPGENERATOR, DOCS_DIR (holds the configured Doxyfile), QCH,
# STRICT (fail on any warning of either tool).
file(REMOVE_RECURSE ${DOCS_DIR}/html)
execute_process(COMMAND ${DOXYGEN} ${DOCS_DIR}/Doxyfile WORKING_DIRECTORY ${DOCS_DIR}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "Doxygen failed:\n${out}${err}")
endif()
if(err)
    message(WARNING "${err}")
endif()

# Qt Creator's context help asks the help engine for identifiers such as "OsmView" and
# "OsmView::setImagePath". Doxygen gives its keywords those ids with an anchor appended
# ("OsmView_", "OsmView::setImagePath_a0123..."), which no lookup finds: drop it.
file(READ ${DOCS_DIR}/html/index.qhp qhp)
string(REGEX REPLACE " id=\"([^\"]+)_(a[0-9a-f]+)?\"" " id=\"\\1\"" qhp "${qhp}")
file(WRITE ${DOCS_DIR}/html/index.qhp "${qhp}")

execute_process(COMMAND ${QHELPGENERATOR} ${DOCS_DIR}/html/index.qhp -o ${QCH}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "qhelpgenerator failed:\n${out}${err}")
endif()
string(REGEX MATCHALL "[^\n]*[Ww]arning[^\n]*" warnings "${out}${err}")
if(warnings)
    list(JOIN warnings "\n" warnings)
    if(STRICT)
        message(FATAL_ERROR "qhelpgenerator:\n${warnings}")
    endif()
    message(WARNING "${warnings}")
endif()
message(STATUS "HTML: ${DOCS_DIR}/html/index.html")
message(STATUS "Qt help: ${QCH}")
