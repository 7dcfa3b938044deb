#pragma once
// Writes a llama-architecture GGUF model with random weights, a small SentencePiece
// style vocabulary and an embedded ChatML chat template. The model talks gibberish,
// but it loads, tokenizes, renders its template and generates like a real one, which
// is what the tests and benchmarks of local inference need without downloading weights.

#include <cstdint>
#include <string>
#include <vector>

namespace vexa::gguf_gen {

enum class WeightType { f32, f16, q8_0 };

struct ModelShape {
    int n_vocab = 512;     // at least 512: specials, 256 byte tokens, ASCII pieces
    int n_embd = 64;
    int n_layer = 2;
    int n_head = 4;
    int n_head_kv = 2;
    int n_ff = 128;
    int n_ctx_train = 4096;
    WeightType weight_type = WeightType::f32;
    std::uint64_t seed = 42;
    // Rows of the output projection for control and byte tokens are zero, so greedy
    // decoding never picks them: the text stays printable ASCII and never ends early.
    bool suppress_special_output = true;
    std::string name = "vexa-tiny-random";
    std::string chat_template;  // empty: the built-in ChatML template
    bool embed_chat_template = true;
    // When not empty, the model answers every prompt with exactly these pieces, in
    // order, and then ends its turn: each piece becomes one token, attention and
    // feed-forward outputs are zero, and the embeddings and output rows form a chain
    // (any other token -> piece 1 -> piece 2 -> ... -> end of turn). Pieces must be
    // distinct and fewer than n_embd - 1. Everything else stays real: tokenizer,
    // template, KV cache, sampling.
    std::vector<std::string> scripted_reply;
};

// A few hundred kilobytes; used by the tests.
ModelShape tiny_shape();
// About 100 million parameters in f16; used by the benchmarks.
ModelShape bench_shape();

// The ChatML template written into the model when the shape names none.
const std::string& chatml_template();

std::uint64_t parameter_count(const ModelShape& shape);

// Writes the model to path (replacing it). False with a reason on failure.
bool write_model(const std::string& path, const ModelShape& shape, std::string& error);

}  // namespace vexa::gguf_gen
