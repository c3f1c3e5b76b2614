# Strict warnings for the project's own targets (never for third-party code).
function(folioxa_warnings target)
    target_compile_options(${target} PRIVATE
        -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
        $<$<COMPILE_LANGUAGE:CXX>:-Wold-style-cast -Wnon-virtual-dtor -Woverloaded-virtual>)
    if(FOLIOXA_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()

# The npm package that holds the engine (package.json and package-lock.json pin it).
set(FOLIOXA_ENGINE_PACKAGE @craftlions/pdfium-rs-linux-x64-gnu)

# The pinned engine that scripts/setup fetched, copied to lib/folioxa/ as it is installed.
function(folioxa_add_engine)
    set(source ${PROJECT_SOURCE_DIR}/node_modules/${FOLIOXA_ENGINE_PACKAGE}/libpdfium.so)
    if(NOT EXISTS ${source})
        message(FATAL_ERROR "libpdfium.so is missing: run scripts/setup (or make build) first")
    endif()
    set(target_file ${FOLIOXA_LIBEXEC_BUILD_DIR}/libpdfium.so)
    add_custom_command(OUTPUT ${target_file}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${FOLIOXA_LIBEXEC_BUILD_DIR}
        COMMAND ${CMAKE_COMMAND} -E copy_if_different ${source} ${target_file}
        DEPENDS ${source}
        COMMENT "Copying the pdfium engine to ${FOLIOXA_LIBEXEC_DIR}")
    add_custom_target(pdfium_engine ALL DEPENDS ${target_file})
    install(FILES ${target_file} DESTINATION ${FOLIOXA_LIBEXEC_DIR})
endfunction()

# A static library of the core, with its folder as the include root ("imaging/PageBitmap.h").
function(folioxa_core_library name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LINK" ${ARGN})
    add_library(${name} STATIC ${ARG_SOURCES})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} PUBLIC ${ARG_LINK})
    folioxa_warnings(${name})
endfunction()

# A manual page from its scdoc source (NAME.SECTION.scd, in the current source folder or a path
# made by the build), built compressed into share/man of the build tree, as it is installed.
function(folioxa_manual_page source)
    find_program(FOLIOXA_SCDOC scdoc REQUIRED)
    get_filename_component(source ${source} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
    get_filename_component(name ${source} NAME_WLE)
    string(REGEX MATCH "[0-9]$" section ${name})
    set(dir ${PROJECT_BINARY_DIR}/${CMAKE_INSTALL_MANDIR}/man${section})
    add_custom_command(OUTPUT ${dir}/${name}.gz
        COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
        COMMAND sh -c "\"$0\" < \"$1\" > \"$2\"" ${FOLIOXA_SCDOC} ${source} ${dir}/${name}
        COMMAND gzip -9nf ${dir}/${name}
        DEPENDS ${source}
        COMMENT "Manual page ${name}"
        VERBATIM)
    add_custom_target(manual_${name} ALL DEPENDS ${dir}/${name}.gz)
    install(FILES ${dir}/${name}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endfunction()

# Debian's compile and link flags with every hardening feature (dpkg-buildflags), for the package.
macro(folioxa_debian_flags)
    foreach(kind CPPFLAGS CFLAGS CXXFLAGS LDFLAGS)
        execute_process(
            COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
                    dpkg-buildflags --get ${kind}
            OUTPUT_VARIABLE folioxa_${kind} OUTPUT_STRIP_TRAILING_WHITESPACE
            COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
    string(APPEND CMAKE_C_FLAGS " ${folioxa_CPPFLAGS} ${folioxa_CFLAGS}")
    string(APPEND CMAKE_CXX_FLAGS " ${folioxa_CPPFLAGS} ${folioxa_CXXFLAGS}")
    string(APPEND CMAKE_EXE_LINKER_FLAGS " ${folioxa_LDFLAGS}")
    string(APPEND CMAKE_SHARED_LINKER_FLAGS " ${folioxa_LDFLAGS}")
endmacro()
