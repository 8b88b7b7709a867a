# "format" rewrites every tracked C and C++ file with .clang-format; "format-check" fails on any
# difference, so CI keeps the tree as the style says.
find_program(KVR_CLANG_FORMAT NAMES clang-format clang-format-14)
if(KVR_CLANG_FORMAT)
    set(KVR_FORMAT_LIST git ls-files -z -- "*.c" "*.cpp" "*.h")
    add_custom_target(format
        COMMAND ${KVR_FORMAT_LIST} | xargs -0 ${KVR_CLANG_FORMAT} -i
        WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
        COMMENT "Formatting the sources"
        VERBATIM)
    add_custom_target(format-check
        COMMAND ${KVR_FORMAT_LIST} | xargs -0 ${KVR_CLANG_FORMAT} --dry-run -Werror
        WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
        COMMENT "Checking the sources' format"
        VERBATIM)
endif()
