# The release archive, Quorin64-<version>.zip, made by CPack's ZIP generator
# from a folder that scripts/release.sh has filled: both programs and the
# custom-action DLL (signed or not), SHA256SUMS, the usage text, the license
# and the kit's sources and scripts. Every file gets the same permissions
# whatever the umask (the scripts executable), so that the archive depends
# on nothing but the files and their times.
if(NOT IS_DIRECTORY "${QUORIN_RELEASE_STAGE}")
    message(FATAL_ERROR "QUORIN_RELEASE_STAGE must name the folder to pack")
endif()
# The usage text names the version; scripts/release.sh copies it into the
# folder before it writes the checksums.
configure_file(release/USAGE.txt ${PROJECT_BINARY_DIR}/USAGE.txt @ONLY)
install(DIRECTORY ${QUORIN_RELEASE_STAGE}/ DESTINATION .
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
    DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
        WORLD_READ WORLD_EXECUTE
    REGEX "[.](sh|py)$" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
        WORLD_READ WORLD_EXECUTE)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME Quorin64)
set(CPACK_PACKAGE_FILE_NAME Quorin64-${PROJECT_VERSION})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
include(CPack)
