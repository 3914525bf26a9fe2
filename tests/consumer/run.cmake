# Installs the library into a prefix of its own, builds the consumer against it with
# find_package, runs it, and checks the pkg-config file and the translation template.
# Arguments: BUILD_DIR, SOURCE_DIR, WORK_DIR, QT_BIN, VERSION.
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
    endif()
    set(out "${out}${err}" PARENT_SCOPE)
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(f include/qt5VeltraWidgets2/OsmView.h include/qt5VeltraWidgets2/ImageMapView.h
          include/qt5VeltraWidgets2/CrossView.h lib/pkgconfig/qt5VeltraWidgets2.pc
          lib/qt5/plugins/designer/libqt5VeltraWidgets2.so)
    if(NOT EXISTS ${prefix}/${f})
        message(FATAL_ERROR "not installed: ${f}")
    endif()
endforeach()

run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/consumer -B ${WORK_DIR}/consumer
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release)
run(${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)
set(ENV{QT_QPA_PLATFORM} offscreen)
set(ENV{LD_LIBRARY_PATH} ${prefix}/lib)
run(${WORK_DIR}/consumer/consumer)
message(STATUS "consumer: ${out}")

set(ENV{PKG_CONFIG_PATH} ${prefix}/lib/pkgconfig)
find_program(PKG_CONFIG pkg-config)
if(PKG_CONFIG)
    run(${PKG_CONFIG} --modversion qt5VeltraWidgets2)
    set(version "${out}")
    run(${PKG_CONFIG} --cflags --libs qt5VeltraWidgets2)
    if(NOT version STREQUAL "${VERSION}\n" OR NOT out MATCHES "-lqt5VeltraWidgets2"
       OR NOT out MATCHES "include/qt5VeltraWidgets2")
        message(FATAL_ERROR "pkg-config: ${version}${out}")
    endif()
endif()

# The translation template holds the three contexts.
run(${QT_BIN}/lupdate -no-obsolete -locations none ${SOURCE_DIR}/src -ts ${WORK_DIR}/template.ts)
file(READ ${WORK_DIR}/template.ts ts)
foreach(context OsmView OsmOperationsWidget "CrossView::Private")
    if(NOT ts MATCHES "<name>${context}</name>")
        message(FATAL_ERROR "no context ${context} in the translation template")
    endif()
endforeach()

message(STATUS "1 passed, 0 failed")
