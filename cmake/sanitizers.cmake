# TAMBLIN_SANITIZE=address  -> AddressSanitizer + UndefinedBehaviorSanitizer
# TAMBLIN_SANITIZE=thread   -> ThreadSanitizer
set(TAMBLIN_SANITIZE "" CACHE STRING "Sanitizer build: empty, address or thread")
set_property(CACHE TAMBLIN_SANITIZE PROPERTY STRINGS "" address thread)

if(TAMBLIN_SANITIZE STREQUAL "address")
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
elseif(TAMBLIN_SANITIZE STREQUAL "thread")
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
elseif(NOT TAMBLIN_SANITIZE STREQUAL "")
    message(FATAL_ERROR "TAMBLIN_SANITIZE must be empty, address or thread")
endif()
