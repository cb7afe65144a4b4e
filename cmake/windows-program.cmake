# One of the two Windows deliverables: GUI subsystem without a window, the
# oldest Windows the program supports written into its header, platform
# libraries only, no C++ runtime features, size-optimised and stripped,
# movable (ASLR, with its relocations) and with data that never runs (DEP),
# with version information and an application manifest. Two builds of the
# same source give the same bytes: no link time in the header, no build
# folder in the code.
if(QUORIN_TARGET STREQUAL "x86")
    set(QUORIN_ASLR -Wl,--dynamicbase)
    set(QUORIN_MIN_WINDOWS_MINOR 1)
    set(QUORIN_WIN32_WINNT 0x0501)
    set(QUORIN_TARGET_DEFINE QUORIN_TARGET_X86)
    set(QUORIN_MANIFEST_ARCHITECTURE x86)
elseif(QUORIN_TARGET STREQUAL "x64")
    set(QUORIN_ASLR -Wl,--dynamicbase,--high-entropy-va)
    set(QUORIN_MIN_WINDOWS_MINOR 2)
    set(QUORIN_WIN32_WINNT 0x0502)
    set(QUORIN_TARGET_DEFINE QUORIN_TARGET_X64)
    set(QUORIN_MANIFEST_ARCHITECTURE amd64)
else()
    message(FATAL_ERROR "QUORIN_TARGET must be x64 or x86")
endif()

# Every binary built here gets the same flags, so that a baseline program
# can be compared with the installer on equal terms.
function(quorin_windows_binary name)
    target_compile_definitions(${name} PRIVATE ${QUORIN_TARGET_DEFINE}
        _WIN32_WINNT=${QUORIN_WIN32_WINNT} WINVER=${QUORIN_WIN32_WINNT})
    # The C++ compiler's options only: windres compiles the resources.
    set(options ${QUORIN_WARNINGS} -Os -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
        -fno-threadsafe-statics -ffunction-sections -fdata-sections
        -ffile-prefix-map=${PROJECT_SOURCE_DIR}=. -ffile-prefix-map=${PROJECT_BINARY_DIR}=build)
    target_compile_options(${name} PRIVATE "$<$<COMPILE_LANGUAGE:CXX>:${options}>")
    target_link_options(${name} PRIVATE -s -static-libgcc -static-libstdc++ -Wl,--gc-sections
        -Wl,--no-insert-timestamp ${QUORIN_ASLR} -Wl,--nxcompat
        -Wl,--major-os-version,5,--minor-os-version,${QUORIN_MIN_WINDOWS_MINOR}
        -Wl,--major-subsystem-version,5,--minor-subsystem-version,${QUORIN_MIN_WINDOWS_MINOR})
endfunction()

function(quorin_windows_program name)
    quorin_windows_binary(${name})
    target_link_libraries(${name} PRIVATE advapi32 user32)
endfunction()

enable_language(RC)
set(QUORIN_FILE_DESCRIPTION "Quorin64 driver package installer (${QUORIN_TARGET})")
set(QUORIN_VERSION_4 ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0)
set(QUORIN_MANIFEST_FILE ${PROJECT_BINARY_DIR}/Quorin64.manifest)
configure_file(resources/Quorin64.manifest.in ${QUORIN_MANIFEST_FILE} @ONLY)
configure_file(resources/Quorin64.rc.in ${PROJECT_BINARY_DIR}/Quorin64.rc @ONLY)

add_executable(Quorin64 WIN32 ${QUORIN_PROGRAM_SOURCES} ${PROJECT_BINARY_DIR}/Quorin64.rc)
quorin_windows_program(Quorin64)
# windres reads the manifest itself: rebuild the resources when it changes.
set_source_files_properties(${PROJECT_BINARY_DIR}/Quorin64.rc PROPERTIES
    OBJECT_DEPENDS ${QUORIN_MANIFEST_FILE})

# A program that only returns, with the same imports and resources: the
# baseline of the benchmarks. Built only when asked for.
add_executable(QuorinMinimal WIN32 EXCLUDE_FROM_ALL bench/minimal/minimal_program.cpp
    ${PROJECT_BINARY_DIR}/Quorin64.rc)
quorin_windows_program(QuorinMinimal)

# The example Windows Installer package's custom-action DLL (kit/msi),
# for x64 only as the package is. It needs no C runtime: its own entry
# point, nothing but Windows' own DLLs (libgcc only for stack probes).
if(QUORIN_TARGET STREQUAL "x64")
    add_library(Quorin64Action SHARED action/exports.cpp action/action_data.cpp
        action/driver_store.cpp action/ownership_record.cpp action/log_lines.cpp
        action/run_program.cpp)
    set_target_properties(Quorin64Action PROPERTIES PREFIX "")
    quorin_windows_binary(Quorin64Action)
    # No C runtime to call: copy and length loops stay loops.
    target_compile_options(Quorin64Action PRIVATE -fno-tree-loop-distribute-patterns)
    target_link_options(Quorin64Action PRIVATE -nostdlib -Wl,--entry,DriverActionEntry
        -Wl,--subsystem,windows)
    target_link_libraries(Quorin64Action PRIVATE kernel32 advapi32 msi setupapi gcc)
endif()
