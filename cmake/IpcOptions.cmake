# Compiler settings shared by every target of the project, set in one place.

set(IPC_SANITIZE_FLAGS -fsanitize=address,undefined -fno-sanitize=vptr -fno-omit-frame-pointer
                       -fno-sanitize-recover=undefined)

option(IPC_THREAD_SANITIZER "Build with ThreadSanitizer (scripts/test runs the threaded-run test so)"
       OFF)

function(ipc_target_options target)
  target_compile_features(${target} PUBLIC cxx_std_17)
  # Standard C++17 spelled out, so no compiler's default dialect or extensions creep in.
  set_target_properties(${target} PROPERTIES CXX_STANDARD 17 CXX_STANDARD_REQUIRED ON
                                             CXX_EXTENSIONS OFF)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(IPC_DEVELOPER)
    target_compile_options(${target} PRIVATE -Werror ${IPC_SANITIZE_FLAGS})
    target_link_options(${target} PRIVATE ${IPC_SANITIZE_FLAGS})
  endif()
  if(IPC_THREAD_SANITIZER)
    target_compile_options(${target} PRIVATE -fsanitize=thread)
    target_link_options(${target} PRIVATE -fsanitize=thread)
  endif()
endfunction()

# Code that goes into libipc: hidden by default, exported only through IPC_EXPORT.
function(ipc_library_options target)
  ipc_target_options(${target})
  set_target_properties(${target} PROPERTIES CXX_VISIBILITY_PRESET hidden
                                             VISIBILITY_INLINES_HIDDEN ON
                                             POSITION_INDEPENDENT_CODE ON)
  target_compile_definitions(${target} PRIVATE IPC_BUILDING_LIBRARY)
endfunction()

# A small helper program started as a child by tests or benchmarks, built as NAME into DIRECTORY.
function(ipc_add_child target source name directory)
  add_executable(${target} ${source})
  ipc_target_options(${target})
  target_link_libraries(${target} PRIVATE Threads::Threads)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${name} RUNTIME_OUTPUT_DIRECTORY ${directory})
endfunction()
