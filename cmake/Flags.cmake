# Flags for our own code only; generated and third-party code links corvane_sanitize alone.
add_library(corvane_sanitize INTERFACE)
if(CORVANE_SANITIZE)
  target_compile_options(corvane_sanitize INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
    # GCC 12 reports std::function members inside <regex> as maybe uninitialized once the
    # sanitizers instrument them; the plain build keeps the warning.
    $<$<CXX_COMPILER_ID:GNU>:-Wno-maybe-uninitialized>)
  target_link_options(corvane_sanitize INTERFACE -fsanitize=address,undefined)
endif()
if(CORVANE_TSAN)
  if(CORVANE_SANITIZE)
    message(FATAL_ERROR "CORVANE_TSAN and CORVANE_SANITIZE exclude each other")
  endif()
  # GCC warns of every atomic_thread_fence TSan cannot model; Boost.Asio's handler fences
  # would otherwise flood each build. The mutexes around them are what TSan checks.
  target_compile_options(corvane_sanitize INTERFACE -fsanitize=thread -fno-omit-frame-pointer
    $<$<CXX_COMPILER_ID:GNU>:-Wno-tsan>)
  target_link_options(corvane_sanitize INTERFACE -fsanitize=thread)
endif()

add_library(corvane_flags INTERFACE)
target_compile_options(corvane_flags INTERFACE -Wall -Wextra -Wshadow)
target_link_libraries(corvane_flags INTERFACE corvane_sanitize)
