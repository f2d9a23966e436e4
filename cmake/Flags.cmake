# Flags for our own code only; generated and third-party code links corvane_sanitize alone.
add_library(corvane_sanitize INTERFACE)
if(CORVANE_SANITIZE)
  target_compile_options(corvane_sanitize INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(corvane_sanitize INTERFACE -fsanitize=address,undefined)
endif()

add_library(corvane_flags INTERFACE)
target_compile_options(corvane_flags INTERFACE -Wall -Wextra)
target_link_libraries(corvane_flags INTERFACE corvane_sanitize)
