# Shared settings for the project's own targets: warnings as errors, optional sanitizers,
# static linking of programs.

function(bv_target_defaults target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror)
  endif()
  if(BV_SANITIZE)
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer
                                              -fno-sanitize-recover=all)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
endfunction()

# A module library: static, exporting the repository root so users write "cgi/bv_cgi.h".
function(bv_add_module name)
  add_library(${name} STATIC ${ARGN})
  target_include_directories(${name} PUBLIC "${PROJECT_SOURCE_DIR}")
  target_link_libraries(${name} PRIVATE bv_platform)
  bv_target_defaults(${name})
endfunction()

# A CGI program: linked statically where the toolchain allows it, since the web server
# starts it once per request and dynamic loading is paid every time.
function(bv_add_program name)
  add_executable(${name} ${ARGN})
  bv_target_defaults(${name})
  if(NOT BV_SANITIZE AND NOT BV_BUILD_FUZZ AND NOT APPLE)
    target_link_options(${name} PRIVATE -static)
  endif()
endfunction()
