// vexa-gguf-gen: writes a random-weight llama-architecture GGUF model.
//   vexa-gguf-gen OUT.gguf [--bench] [--vocab N] [--embd N] [--layers N] [--heads N]
//                 [--kv-heads N] [--ff N] [--ctx N] [--type f32|f16|q8_0] [--seed N]
#include "gguf_gen.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: vexa-gguf-gen OUT.gguf [--bench] [--vocab N] [--embd N] [--layers N] [--heads N]\n"
                 "                     [--kv-heads N] [--ff N] [--ctx N] [--type f32|f16|q8_0] [--seed N]\n"
                 "  default: the tiny test model; --bench: the ~100M-parameter benchmark model\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace vexa::gguf_gen;
    if (argc < 2 || argv[1][0] == '-') return usage();
    const std::string out = argv[1];
    ModelShape shape = tiny_shape();
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--bench") {
            shape = bench_shape();
            continue;
        }
        if (i + 1 >= argc) return usage();
        const char* value = argv[++i];
        const int n = std::atoi(value);
        if (arg == "--vocab") shape.n_vocab = n;
        else if (arg == "--embd") shape.n_embd = n;
        else if (arg == "--layers") shape.n_layer = n;
        else if (arg == "--heads") shape.n_head = n;
        else if (arg == "--kv-heads") shape.n_head_kv = n;
        else if (arg == "--ff") shape.n_ff = n;
        else if (arg == "--ctx") shape.n_ctx_train = n;
        else if (arg == "--seed") shape.seed = std::strtoull(value, nullptr, 10);
        else if (arg == "--type") {
            if (std::strcmp(value, "f32") == 0) shape.weight_type = WeightType::f32;
            else if (std::strcmp(value, "f16") == 0) shape.weight_type = WeightType::f16;
            else if (std::strcmp(value, "q8_0") == 0) shape.weight_type = WeightType::q8_0;
            else return usage();
        } else {
            return usage();
        }
    }
    std::string error;
    if (!write_model(out, shape, error)) {
        std::fprintf(stderr, "vexa-gguf-gen: %s\n", error.c_str());
        return 1;
    }
    std::fprintf(stderr, "vexa-gguf-gen: wrote %s (%llu parameters)\n", out.c_str(),
                 static_cast<unsigned long long>(parameter_count(shape)));
    return 0;
}
