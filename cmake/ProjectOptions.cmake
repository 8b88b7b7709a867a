# One interface target carries the language level, warnings and Qt defines for every target.
add_library(kvr_options INTERFACE)
target_compile_features(kvr_options INTERFACE cxx_std_20)
target_compile_options(kvr_options INTERFACE -Wall -Wextra -Wpedantic -Wold-style-cast -Wcast-qual -Wshadow -Wnon-virtual-dtor)
target_compile_definitions(kvr_options INTERFACE
    QT_NO_CAST_FROM_ASCII
    QT_NO_CAST_TO_ASCII
    QT_USE_QSTRINGBUILDER
    QT_NO_CONTEXTLESS_CONNECT
    QT_NO_KEYWORDS)

# KVR_SANITIZE=ON: AddressSanitizer and UndefinedBehaviorSanitizer; KVR_SANITIZE=thread:
# ThreadSanitizer, for the window-free tests (Debian's Qt is not built for it).
if(KVR_SANITIZE STREQUAL "thread")
    set(KVR_SANITIZER_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
    add_compile_options(${KVR_SANITIZER_FLAGS})
    add_link_options(${KVR_SANITIZER_FLAGS})
elseif(KVR_SANITIZE)
    set(KVR_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
    add_compile_options(${KVR_SANITIZER_FLAGS})
    add_link_options(${KVR_SANITIZER_FLAGS})
endif()

# ./test.sh and CI build with warnings as errors; a user's ./run.sh keeps building on a newer compiler.
option(KVR_WERROR "Treat warnings as errors" OFF)
if(KVR_WERROR)
    target_compile_options(kvr_options INTERFACE -Werror)
endif()
