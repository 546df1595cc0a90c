# disc_program_manifest(NAME name VERSION a.b.c.d DESCRIPTION text)
#
# Writes <name>.manifest into the current binary directory from cmake/program.manifest.in: the
# program's identity and its dependency on version 6 of the common controls, both for the
# machine this build is for. A 64-bit program whose manifest names the x86 assembly is handed
# the 32-bit library by the loader and fails to start (0xC000007B), so the architecture must
# follow the build, never be written by hand. The resource script includes the file by name;
# the binary directory is on the resource compiler's include path.
function(disc_program_manifest)
    cmake_parse_arguments(M "" "NAME;VERSION;DESCRIPTION" "" ${ARGN})
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
        set(MANIFEST_ARCH amd64)
    else()
        set(MANIFEST_ARCH x86)
    endif()
    set(MANIFEST_NAME ${M_NAME})
    set(MANIFEST_VERSION ${M_VERSION})
    set(MANIFEST_DESCRIPTION ${M_DESCRIPTION})
    configure_file(${CMAKE_SOURCE_DIR}/cmake/program.manifest.in
                   ${CMAKE_CURRENT_BINARY_DIR}/${M_NAME}.manifest @ONLY)
endfunction()
