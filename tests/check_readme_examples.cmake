# Fails unless README.md shows every example program of examples/ verbatim, so that the examples
# a reader copies from the README are the ones the tests build and run.
file(READ ${README} readme)
file(GLOB examples ${EXAMPLES_DIR}/*.c ${EXAMPLES_DIR}/*.cpp)
if(NOT examples)
    message(FATAL_ERROR "no examples in ${EXAMPLES_DIR}")
endif()
foreach(example IN LISTS examples)
    file(READ ${example} source)
    string(FIND "${readme}" "${source}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "README.md does not show ${example} as it stands")
    endif()
endforeach()
