# One of the two Windows deliverables: GUI subsystem without a window, the
# oldest Windows the program supports written into its header, platform
# libraries only, no C++ runtime features, size-optimised and stripped.
if(QUORIN_TARGET STREQUAL "x86")
    set(QUORIN_MIN_WINDOWS_MINOR 1)
    set(QUORIN_WIN32_WINNT 0x0501)
    set(QUORIN_TARGET_DEFINE QUORIN_TARGET_X86)
elseif(QUORIN_TARGET STREQUAL "x64")
    set(QUORIN_MIN_WINDOWS_MINOR 2)
    set(QUORIN_WIN32_WINNT 0x0502)
    set(QUORIN_TARGET_DEFINE QUORIN_TARGET_X64)
else()
    message(FATAL_ERROR "QUORIN_TARGET must be x64 or x86")
endif()

# Every program built here gets the same flags, so that a baseline program
# can be compared with the installer on equal terms.
function(quorin_windows_program name)
    target_compile_definitions(${name} PRIVATE ${QUORIN_TARGET_DEFINE}
        _WIN32_WINNT=${QUORIN_WIN32_WINNT} WINVER=${QUORIN_WIN32_WINNT})
    target_compile_options(${name} PRIVATE ${QUORIN_WARNINGS} -Os -fno-exceptions -fno-rtti
        -fno-asynchronous-unwind-tables -fno-threadsafe-statics -ffunction-sections
        -fdata-sections)
    target_link_options(${name} PRIVATE -s -static-libgcc -static-libstdc++ -Wl,--gc-sections
        -Wl,--major-os-version,5,--minor-os-version,${QUORIN_MIN_WINDOWS_MINOR}
        -Wl,--major-subsystem-version,5,--minor-subsystem-version,${QUORIN_MIN_WINDOWS_MINOR})
    target_link_libraries(${name} PRIVATE advapi32 user32 newdev)
endfunction()

add_executable(Quorin64 WIN32 ${QUORIN_PROGRAM_SOURCES})
quorin_windows_program(Quorin64)

# A program that only returns, with the same imports: the baseline of the
# benchmarks. Built only when asked for.
add_executable(QuorinMinimal WIN32 EXCLUDE_FROM_ALL bench/minimal/minimal_program.cpp)
quorin_windows_program(QuorinMinimal)
