# Installs the library into a prefix of its own, moves the prefix, then builds the
# consumer against it twice, with find_package and with pkg-config, and runs both.
# Also checks that every installed file is named for this build, so that the Qt 5 and
# the Qt 6 build install side by side, and the translation template.
# Arguments: BUILD_DIR, SOURCE_DIR, WORK_DIR, QT_MAJOR, LIBRARY, VERSION, CXX, UIC, RCC,
# LUPDATE.
file(REMOVE_RECURSE ${WORK_DIR})
set(installed ${WORK_DIR}/installed)
set(prefix ${WORK_DIR}/prefix)

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
    endif()
    set(out "${out}${err}" PARENT_SCOPE)
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${installed})
foreach(f include/${LIBRARY}/OsmView.h include/${LIBRARY}/ImageMapView.h
          include/${LIBRARY}/CrossView.h lib/pkgconfig/${LIBRARY}.pc
          lib/cmake/${LIBRARY}/${LIBRARY}Config.cmake lib/qt${QT_MAJOR}/plugins/designer/lib${LIBRARY}.so)
    if(NOT EXISTS ${installed}/${f})
        message(FATAL_ERROR "not installed: ${f}")
    endif()
endforeach()

# The other build installs the same files under its own names; veltra-tiles is the one
# file both could write, and only the Qt 5 build does.
file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${installed} ${installed}/*)
foreach(f ${files})
    if(f STREQUAL "bin/veltra-tiles" AND QT_MAJOR EQUAL 5)
        continue()
    endif()
    if(NOT f MATCHES "(^|/)(lib)?qt${QT_MAJOR}[/V]")
        message(FATAL_ERROR "installed under a name the other Qt's build could use too: ${f}")
    endif()
endforeach()

# Nothing in the prefix may depend on where it was installed.
file(RENAME ${installed} ${prefix})

run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/consumer -B ${WORK_DIR}/consumer
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release -DVELTRA_LIBRARY=${LIBRARY})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)
set(ENV{QT_QPA_PLATFORM} offscreen)
set(ENV{LD_LIBRARY_PATH} ${prefix}/lib)
run(${WORK_DIR}/consumer/consumer)
message(STATUS "consumer built with find_package: ${out}")

# The same host compiled by hand, with what pkg-config says and Qt's own uic and rcc.
set(ENV{PKG_CONFIG_PATH} ${prefix}/lib/pkgconfig)
find_program(PKG_CONFIG pkg-config REQUIRED)
run(${PKG_CONFIG} --modversion ${LIBRARY})
if(NOT out STREQUAL "${VERSION}\n")
    message(FATAL_ERROR "pkg-config gives version ${out}")
endif()
run(${PKG_CONFIG} --variable=includedir ${LIBRARY})
string(STRIP "${out}" includedir)
if(NOT EXISTS ${includedir}/OsmView.h)
    message(FATAL_ERROR "pkg-config's includedir ${includedir} holds no OsmView.h")
endif()
run(${PKG_CONFIG} --cflags --libs ${LIBRARY})
separate_arguments(flags UNIX_COMMAND "${out}")
set(by_hand ${WORK_DIR}/by-hand)
file(MAKE_DIRECTORY ${by_hand})
run(${UIC} ${SOURCE_DIR}/tests/consumer/MainForm.ui -o ${by_hand}/ui_MainForm.h)
run(${RCC} ${SOURCE_DIR}/tests/consumer/resources.qrc -o ${by_hand}/qrc_resources.cpp)
run(${CXX} -std=c++17 -fPIC -I${by_hand} ${SOURCE_DIR}/tests/consumer/main.cpp
    ${by_hand}/qrc_resources.cpp ${flags} -o ${by_hand}/consumer)
run(${by_hand}/consumer)
message(STATUS "consumer built with pkg-config: ${out}")

# The translation template holds the three contexts.
run(${LUPDATE} -no-obsolete -locations none ${SOURCE_DIR}/src -ts ${WORK_DIR}/template.ts)
file(READ ${WORK_DIR}/template.ts ts)
foreach(context OsmView OsmOperationsWidget "CrossView::Private")
    if(NOT ts MATCHES "<name>${context}</name>")
        message(FATAL_ERROR "no context ${context} in the translation template")
    endif()
endforeach()

message(STATUS "1 passed, 0 failed")
