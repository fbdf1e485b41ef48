# Compiler warnings, hardening and sanitizers for every target of the project.
add_library(tolvo_options INTERFACE)
target_compile_options(tolvo_options INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast
  -Wcast-align -Wunused -Woverloaded-virtual
  -Wformat=2 -Wimplicit-fallthrough
  -Wno-restrict  # GCC 12 false positives inside std::string at -O2 and above
  -fstack-protector-strong)
if(TOLVO_WERROR)
  target_compile_options(tolvo_options INTERFACE -Werror)
endif()
if(NOT CMAKE_BUILD_TYPE STREQUAL "Debug" AND NOT TOLVO_SANITIZE AND NOT TOLVO_TSAN)
  target_compile_definitions(tolvo_options INTERFACE _FORTIFY_SOURCE=2)
endif()
target_link_options(tolvo_options INTERFACE -Wl,-z,relro -Wl,-z,now)
if(TOLVO_SANITIZE)
  target_compile_options(tolvo_options INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  target_link_options(tolvo_options INTERFACE -fsanitize=address,undefined)
endif()
if(TOLVO_TSAN)
  target_compile_options(tolvo_options INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
  target_link_options(tolvo_options INTERFACE -fsanitize=thread)
endif()
