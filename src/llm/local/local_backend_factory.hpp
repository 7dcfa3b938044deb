#pragma once
// Creates the in-process GGUF backend (names "llama_cpp" and "local").

#include "llm/llm_backend.hpp"

#include <memory>

namespace vexa {

std::unique_ptr<ILLMBackend> create_local_backend();

}  // namespace vexa
