# Compiler settings shared by every target of our own.

if(ORV_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "The fuzz build needs clang (libFuzzer)")
  endif()
  if(NOT ORV_SANITIZE STREQUAL "")
    message(FATAL_ERROR "The fuzz build brings its own sanitizers; leave ORV_SANITIZE empty")
  endif()
  # Coverage for libFuzzer everywhere; the targets alone link its main.
  set(ORV_SAN_FLAGS -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
elseif(ORV_SANITIZE STREQUAL "address")
  set(ORV_SAN_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
elseif(ORV_SANITIZE STREQUAL "thread")
  set(ORV_SAN_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
elseif(NOT ORV_SANITIZE STREQUAL "")
  message(FATAL_ERROR "ORV_SANITIZE must be empty, 'address' or 'thread'")
endif()
if(ORV_SAN_FLAGS)
  add_compile_options(${ORV_SAN_FLAGS})
  add_link_options(${ORV_SAN_FLAGS})
endif()

# Warnings are errors in our own code; third-party headers come in as system headers.
function(orv_target_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR}/generated)
endfunction()
