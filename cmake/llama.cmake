# Static llama.cpp build (scripts/build_llama.sh) at VEXA_LLAMA_DIR, as one target
# `vexa_llama` carrying include directories, libraries in link order and the
# system libraries they need. Also tells tests and benchmarks where the reference
# programs (llama-server, llama-bench) of the same build live.

if(NOT EXISTS "${VEXA_LLAMA_DIR}/include/llama.h")
  message(FATAL_ERROR "VEXA_LLAMA_DIR=${VEXA_LLAMA_DIR} holds no include/llama.h; "
                      "run scripts/build_llama.sh --print-prefix to build it")
endif()

set(_vexa_llama_lib_dir "${VEXA_LLAMA_DIR}/lib")
function(_vexa_llama_import name)
  set(file "${_vexa_llama_lib_dir}/${CMAKE_STATIC_LIBRARY_PREFIX}${name}${CMAKE_STATIC_LIBRARY_SUFFIX}")
  if(NOT EXISTS "${file}")
    message(FATAL_ERROR "llama.cpp library ${file} is missing; rebuild with scripts/build_llama.sh --rebuild")
  endif()
  add_library(vexa_llama_${name} STATIC IMPORTED GLOBAL)
  set_target_properties(vexa_llama_${name} PROPERTIES IMPORTED_LOCATION "${file}")
endfunction()

_vexa_llama_import(llama)
_vexa_llama_import(ggml)
_vexa_llama_import(ggml-base)
_vexa_llama_import(ggml-cpu)

# Any further compiled-in backend (a GPU build of the same script) registers through
# libggml and needs ggml-base, like the CPU one.
file(GLOB _vexa_llama_backends "${_vexa_llama_lib_dir}/${CMAKE_STATIC_LIBRARY_PREFIX}ggml-*${CMAKE_STATIC_LIBRARY_SUFFIX}")
set(_vexa_llama_backend_targets vexa_llama_ggml-cpu)
foreach(f ${_vexa_llama_backends})
  get_filename_component(n "${f}" NAME_WE)
  string(REGEX REPLACE "^${CMAKE_STATIC_LIBRARY_PREFIX}" "" n "${n}")
  if(NOT n STREQUAL "ggml-base" AND NOT n STREQUAL "ggml-cpu")
    _vexa_llama_import(${n})
    list(APPEND _vexa_llama_backend_targets vexa_llama_${n})
  endif()
endforeach()

set(_vexa_llama_system_libs Threads::Threads)
if(NOT WIN32)
  list(APPEND _vexa_llama_system_libs ${CMAKE_DL_LIBS} m)
endif()

# Dependencies between the archives, so CMake orders them for a one-pass linker.
set_property(TARGET vexa_llama_llama PROPERTY INTERFACE_LINK_LIBRARIES vexa_llama_ggml vexa_llama_ggml-base)
set_property(TARGET vexa_llama_ggml PROPERTY INTERFACE_LINK_LIBRARIES ${_vexa_llama_backend_targets} vexa_llama_ggml-base)
foreach(b ${_vexa_llama_backend_targets})
  set_property(TARGET ${b} PROPERTY INTERFACE_LINK_LIBRARIES vexa_llama_ggml-base ${_vexa_llama_system_libs})
endforeach()
set_property(TARGET vexa_llama_ggml-base PROPERTY INTERFACE_LINK_LIBRARIES ${_vexa_llama_system_libs})

add_library(vexa_llama INTERFACE)
target_include_directories(vexa_llama SYSTEM INTERFACE "${VEXA_LLAMA_DIR}/include")
target_link_libraries(vexa_llama INTERFACE vexa_llama_llama)

set(VEXA_LLAMA_SERVER "${VEXA_LLAMA_DIR}/bin/llama-server${CMAKE_EXECUTABLE_SUFFIX}")
set(VEXA_LLAMA_BENCH "${VEXA_LLAMA_DIR}/bin/llama-bench${CMAKE_EXECUTABLE_SUFFIX}")
target_compile_definitions(vexa_llama INTERFACE
  VEXA_LLAMA_SERVER_PATH="${VEXA_LLAMA_SERVER}"
  VEXA_LLAMA_BENCH_PATH="${VEXA_LLAMA_BENCH}")
