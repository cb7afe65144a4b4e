# The program's logic built for Linux against the simulated Windows layer,
# once as the x64 program and once as the x86 program, with its tests.
option(QUORIN_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" ON)

if(QUORIN_SANITIZE)
    set(QUORIN_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all
        -fno-omit-frame-pointer)
    add_compile_options(${QUORIN_SANITIZER_FLAGS})
    add_link_options(${QUORIN_SANITIZER_FLAGS})
endif()

add_library(quorin_sim STATIC
    platform/sim/sim_core.cpp
    platform/sim/sim_registry.cpp)
target_include_directories(quorin_sim PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_options(quorin_sim PRIVATE ${QUORIN_WARNINGS})

foreach(flavour x64 x86)
    add_library(quorin_logic_${flavour} STATIC ${QUORIN_PROGRAM_SOURCES})
    target_include_directories(quorin_logic_${flavour} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
    target_link_libraries(quorin_logic_${flavour} PUBLIC quorin_sim)
    target_compile_options(quorin_logic_${flavour} PRIVATE ${QUORIN_WARNINGS} -fno-exceptions
        -fno-rtti)
    if(flavour STREQUAL "x86")
        target_compile_definitions(quorin_logic_${flavour} PUBLIC QUORIN_TARGET_X86)
    endif()
endforeach()

enable_testing()
add_subdirectory(tests)
add_subdirectory(bench)
