# disc_program_manifest(NAME name VERSION a.b.c.d DESCRIPTION text LEVEL execution-level)
#
# Writes <name>.manifest into the current binary directory from cmake/program.manifest.in: the
# program's identity and its dependency on version 6 of the common controls, both for the
# machine this build is for; the execution level it asks of User Account Control
# (requireAdministrator or asInvoker: without one, Windows runs the program with file and
# registry virtualization); the Windows versions it was made for; and system DPI awareness, so
# that Windows scales its dialogs by their dialog units instead of stretching a bitmap. A 64-bit program whose manifest names the x86 assembly is handed
# the 32-bit library by the loader and fails to start (0xC000007B), so the architecture must
# follow the build, never be written by hand. The resource script includes the file by name;
# the binary directory is on the resource compiler's include path.
function(disc_program_manifest)
    cmake_parse_arguments(M "" "NAME;VERSION;DESCRIPTION;LEVEL" "" ${ARGN})
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
        set(MANIFEST_ARCH amd64)
    else()
        set(MANIFEST_ARCH x86)
    endif()
    set(MANIFEST_NAME ${M_NAME})
    set(MANIFEST_VERSION ${M_VERSION})
    set(MANIFEST_DESCRIPTION ${M_DESCRIPTION})
    if(NOT M_LEVEL MATCHES "^(asInvoker|highestAvailable|requireAdministrator)$")
        message(FATAL_ERROR "disc_program_manifest: LEVEL must be an execution level")
    endif()
    set(MANIFEST_LEVEL ${M_LEVEL})
    configure_file(${CMAKE_SOURCE_DIR}/cmake/program.manifest.in
                   ${CMAKE_CURRENT_BINARY_DIR}/${M_NAME}.manifest @ONLY)
endfunction()
