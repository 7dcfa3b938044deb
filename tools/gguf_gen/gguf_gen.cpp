#include "gguf_gen.hpp"

#include <ggml.h>
#include <gguf.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <algorithm>
#include <memory>
#include <random>
#include <set>
#include <system_error>
#include <vector>

namespace vexa::gguf_gen {

namespace {

// SentencePiece token types as llama.cpp reads them.
constexpr int32_t kTypeNormal = 1;
constexpr int32_t kTypeUnknown = 2;
constexpr int32_t kTypeControl = 3;
constexpr int32_t kTypeByte = 6;
constexpr int kImEnd = 4;  // token id of <|im_end|>

const char* const kSpace = "\xE2\x96\x81";  // U+2581, SentencePiece's word boundary

struct Vocab {
    std::vector<std::string> tokens;
    std::vector<int32_t> types;
    std::vector<float> scores;
    std::set<std::string> seen;
    int first_normal = 0;

    bool add(const std::string& text, int32_t type) {
        if (!seen.insert(text).second) return false;
        tokens.push_back(text);
        types.push_back(type);
        scores.push_back(type == kTypeNormal ? -static_cast<float>(tokens.size()) : 0.0f);
        return true;
    }
    // A word and every prefix of it, so SentencePiece's pairwise merges can reach it.
    void add_word(const std::string& word, std::size_t limit) {
        for (std::size_t n = 1; n <= word.size() && tokens.size() < limit; ++n) {
            add(kSpace + word.substr(0, n), kTypeNormal);
        }
    }
};

Vocab build_vocab(int n_vocab, const std::vector<std::string>& extra) {
    Vocab v;
    const auto limit = static_cast<std::size_t>(n_vocab);
    v.add("<unk>", kTypeUnknown);
    v.add("<s>", kTypeControl);
    v.add("</s>", kTypeControl);
    v.add("<|im_start|>", kTypeControl);
    v.add("<|im_end|>", kTypeControl);
    char buf[8];
    for (int b = 0; b < 256; ++b) {
        std::snprintf(buf, sizeof buf, "<0x%02X>", b);
        v.add(buf, kTypeByte);
    }
    v.first_normal = static_cast<int>(v.tokens.size());
    v.add(kSpace, kTypeNormal);
    for (char c = 0x21; c < 0x7f; ++c) v.add(std::string(1, c), kTypeNormal);
    for (char c = 'a'; c <= 'z'; ++c) v.add(kSpace + std::string(1, c), kTypeNormal);
    for (char c = 'A'; c <= 'Z'; ++c) v.add(kSpace + std::string(1, c), kTypeNormal);
    for (const std::string& piece : extra) v.add(piece, kTypeNormal);
    static const char* const words[] = {
        "the", "of", "and", "to", "in", "is", "you", "that", "it", "he", "was", "for", "on",
        "are", "as", "with", "his", "they", "at", "be", "this", "have", "from", "or", "one",
        "had", "by", "word", "but", "not", "what", "all", "were", "we", "when", "your", "can",
        "said", "there", "use", "an", "each", "which", "she", "do", "how", "their", "if",
        "will", "up", "other", "about", "out", "many", "then", "them", "these", "so", "some",
        "her", "would", "make", "like", "him", "into", "time", "has", "look", "two", "more",
        "write", "go", "see", "number", "no", "way", "could", "people", "my", "than", "first",
        "water", "been", "call", "who", "oil", "its", "now", "find", "long", "down", "day",
        "did", "get", "come", "made", "may", "part", "tool", "model", "answer", "hello"};
    for (const char* w : words) {
        if (v.tokens.size() >= limit) break;
        v.add_word(w, limit);
    }
    // Fill the rest with letter combinations: two letters, then three.
    for (int len = 2; len <= 4 && v.tokens.size() < limit; ++len) {
        std::string s(static_cast<std::size_t>(len), 'a');
        while (v.tokens.size() < limit) {
            v.add(kSpace + s, kTypeNormal);
            int i = len - 1;
            while (i >= 0 && s[static_cast<std::size_t>(i)] == 'z') s[static_cast<std::size_t>(i--)] = 'a';
            if (i < 0) break;
            ++s[static_cast<std::size_t>(i)];
        }
    }
    return v;
}

// splitmix64: small, fast and reproducible across platforms.
struct Rng {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [-1, 1).
    float uniform() { return static_cast<float>(static_cast<double>(next() >> 11) * 0x1.0p-53 * 2.0 - 1.0); }
};

struct TensorData {
    ggml_tensor* tensor = nullptr;
    std::vector<std::uint8_t> bytes;
};

class Writer {
public:
    explicit Writer(const ModelShape& shape) : shape_(shape), rng_{shape.seed} {
        ggml_init_params params{};
        params.mem_size = ggml_tensor_overhead() * static_cast<std::size_t>(16 + 16 * shape.n_layer);
        params.mem_buffer = nullptr;
        params.no_alloc = true;
        ctx_ = ggml_init(params);
        gguf_ = gguf_init_empty();
    }
    ~Writer() {
        if (gguf_) gguf_free(gguf_);
        if (ctx_) ggml_free(ctx_);
    }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    gguf_context* gguf() { return gguf_; }

    // A weight matrix of ne1 rows with ne0 columns, uniform in +-1/sqrt(ne0).
    // zero_rows_below: rows [0, zero_rows_below) are left zero.
    void matrix(const std::string& name, int ne0, int ne1, int zero_rows_below = 0) {
        std::vector<float> values(static_cast<std::size_t>(ne0) * static_cast<std::size_t>(ne1), 0.0f);
        const float scale = 1.0f / std::sqrt(static_cast<float>(ne0));
        for (int r = zero_rows_below; r < ne1; ++r) {
            for (int c = 0; c < ne0; ++c) {
                values[static_cast<std::size_t>(r) * static_cast<std::size_t>(ne0) + static_cast<std::size_t>(c)] =
                    rng_.uniform() * scale;
            }
        }
        add(name, shape_.weight_type, ne0, ne1, values);
    }
    // Norm weights stay f32 vectors, as in converted models.
    void zeros(const std::string& name, int ne0, int ne1) {
        add(name, shape_.weight_type, ne0, ne1, std::vector<float>(static_cast<std::size_t>(ne0) * static_cast<std::size_t>(ne1), 0.0f));
    }
    void values(const std::string& name, int ne0, int ne1, const std::vector<float>& v) {
        add(name, shape_.weight_type, ne0, ne1, v);
    }
    void ones(const std::string& name, int n) {
        add(name, WeightType::f32, n, 0, std::vector<float>(static_cast<std::size_t>(n), 1.0f));
    }

    bool write(const std::string& path, std::string& error) {
        if (!gguf_write_to_file(gguf_, path.c_str(), false)) {
            error = "cannot write " + path;
            return false;
        }
        return true;
    }

private:
    // ne1 == 0: a vector of ne0 values.
    void add(const std::string& name, WeightType wt, int ne0, int ne1, const std::vector<float>& values) {
        ggml_type type = GGML_TYPE_F32;
        if (wt == WeightType::f16) type = GGML_TYPE_F16;
        if (wt == WeightType::q8_0 && ne0 % ggml_blck_size(GGML_TYPE_Q8_0) == 0) type = GGML_TYPE_Q8_0;
        ggml_tensor* t = ne1 == 0 ? ggml_new_tensor_1d(ctx_, type, ne0) : ggml_new_tensor_2d(ctx_, type, ne0, ne1);
        ggml_set_name(t, name.c_str());
        auto data = std::make_unique<TensorData>();
        data->tensor = t;
        data->bytes.resize(ggml_nbytes(t));
        switch (type) {
            case GGML_TYPE_F16:
                ggml_fp32_to_fp16_row(values.data(), reinterpret_cast<ggml_fp16_t*>(data->bytes.data()),
                                      static_cast<int64_t>(values.size()));
                break;
            case GGML_TYPE_Q8_0:
                ggml_quantize_chunk(type, values.data(), data->bytes.data(), 0, std::max(ne1, 1), ne0, nullptr);
                break;
            default:
                std::copy(values.begin(), values.end(), reinterpret_cast<float*>(data->bytes.data()));
                break;
        }
        t->data = data->bytes.data();
        gguf_add_tensor(gguf_, t);
        data_.push_back(std::move(data));
    }

    ModelShape shape_;
    Rng rng_;
    ggml_context* ctx_ = nullptr;
    gguf_context* gguf_ = nullptr;
    std::vector<std::unique_ptr<TensorData>> data_;
};

}  // namespace

ModelShape tiny_shape() { return ModelShape{}; }

ModelShape bench_shape() {
    ModelShape s;
    s.n_vocab = 16384;
    s.n_embd = 768;
    s.n_layer = 12;
    s.n_head = 12;
    s.n_head_kv = 4;
    s.n_ff = 2048;
    s.n_ctx_train = 8192;
    s.weight_type = WeightType::f16;
    s.name = "vexa-bench-random-100m";
    return s;
}

const std::string& chatml_template() {
    static const std::string text =
        "{% for message in messages %}"
        "{{ '<|im_start|>' + message['role'] + '\\n' + message['content'] + '<|im_end|>' + '\\n' }}"
        "{% endfor %}"
        "{% if add_generation_prompt %}{{ '<|im_start|>assistant\\n' }}{% endif %}";
    return text;
}

std::uint64_t parameter_count(const ModelShape& s) {
    const std::uint64_t embd = static_cast<std::uint64_t>(s.n_embd);
    const std::uint64_t head_dim = embd / static_cast<std::uint64_t>(s.n_head);
    const std::uint64_t kv = head_dim * static_cast<std::uint64_t>(s.n_head_kv);
    const std::uint64_t ff = static_cast<std::uint64_t>(s.n_ff);
    const std::uint64_t per_layer = 2 * embd + embd * embd * 2 + embd * kv * 2 + 3 * embd * ff;
    return 2 * embd * static_cast<std::uint64_t>(s.n_vocab) + embd + per_layer * static_cast<std::uint64_t>(s.n_layer);
}

bool write_model(const std::string& path, const ModelShape& s, std::string& error) {
    if (s.n_vocab < 512 || s.n_embd <= 0 || s.n_layer <= 0 || s.n_head <= 0 || s.n_head_kv <= 0 ||
        s.n_ff <= 0 || s.n_embd % s.n_head != 0 || s.n_head % s.n_head_kv != 0 || (s.n_embd / s.n_head) % 2 != 0) {
        error = "invalid model shape (n_vocab >= 512, n_embd divisible by n_head into an even head size, "
                "n_head divisible by n_head_kv)";
        return false;
    }
    if (!s.scripted_reply.empty()) {
        std::set<std::string> distinct(s.scripted_reply.begin(), s.scripted_reply.end());
        if (distinct.size() != s.scripted_reply.size() || distinct.count("") != 0 ||
            static_cast<int>(s.scripted_reply.size()) + 1 >= s.n_embd) {
            error = "scripted reply pieces must be distinct, not empty, and fewer than n_embd - 1";
            return false;
        }
    }
    const Vocab vocab = build_vocab(s.n_vocab, s.scripted_reply);
    if (static_cast<int>(vocab.tokens.size()) != s.n_vocab) {
        error = "cannot build a vocabulary of " + std::to_string(s.n_vocab) + " tokens";
        return false;
    }
    const int head_dim = s.n_embd / s.n_head;
    const int n_embd_kv = head_dim * s.n_head_kv;

    Writer w(s);
    gguf_context* g = w.gguf();
    gguf_set_val_str(g, "general.architecture", "llama");
    gguf_set_val_str(g, "general.name", s.name.c_str());
    gguf_set_val_u32(g, "general.file_type", s.weight_type == WeightType::f32 ? 0u
                                               : s.weight_type == WeightType::f16 ? 1u : 7u);
    gguf_set_val_u32(g, "llama.context_length", static_cast<uint32_t>(s.n_ctx_train));
    gguf_set_val_u32(g, "llama.embedding_length", static_cast<uint32_t>(s.n_embd));
    gguf_set_val_u32(g, "llama.block_count", static_cast<uint32_t>(s.n_layer));
    gguf_set_val_u32(g, "llama.feed_forward_length", static_cast<uint32_t>(s.n_ff));
    gguf_set_val_u32(g, "llama.attention.head_count", static_cast<uint32_t>(s.n_head));
    gguf_set_val_u32(g, "llama.attention.head_count_kv", static_cast<uint32_t>(s.n_head_kv));
    gguf_set_val_u32(g, "llama.rope.dimension_count", static_cast<uint32_t>(head_dim));
    gguf_set_val_f32(g, "llama.rope.freq_base", 10000.0f);
    gguf_set_val_f32(g, "llama.attention.layer_norm_rms_epsilon", 1e-5f);
    gguf_set_val_u32(g, "llama.vocab_size", static_cast<uint32_t>(s.n_vocab));

    gguf_set_val_str(g, "tokenizer.ggml.model", "llama");
    std::vector<const char*> token_ptrs;
    token_ptrs.reserve(vocab.tokens.size());
    for (const auto& t : vocab.tokens) token_ptrs.push_back(t.c_str());
    gguf_set_arr_str(g, "tokenizer.ggml.tokens", token_ptrs.data(), token_ptrs.size());
    gguf_set_arr_data(g, "tokenizer.ggml.scores", GGUF_TYPE_FLOAT32, vocab.scores.data(), vocab.scores.size());
    gguf_set_arr_data(g, "tokenizer.ggml.token_type", GGUF_TYPE_INT32, vocab.types.data(), vocab.types.size());
    gguf_set_val_u32(g, "tokenizer.ggml.unknown_token_id", 0);
    gguf_set_val_u32(g, "tokenizer.ggml.bos_token_id", 1);
    gguf_set_val_u32(g, "tokenizer.ggml.eos_token_id", 4);  // <|im_end|> ends a ChatML turn
    gguf_set_val_u32(g, "tokenizer.ggml.eot_token_id", 4);
    gguf_set_val_bool(g, "tokenizer.ggml.add_bos_token", true);
    gguf_set_val_bool(g, "tokenizer.ggml.add_eos_token", false);
    if (s.embed_chat_template) {
        const std::string& tmpl = s.chat_template.empty() ? chatml_template() : s.chat_template;
        gguf_set_val_str(g, "tokenizer.chat_template", tmpl.c_str());
    }

    const bool scripted = !s.scripted_reply.empty();
    std::vector<int> chain;  // token ids of the scripted reply
    if (scripted) {
        for (const std::string& piece : s.scripted_reply) {
            const auto it = std::find(vocab.tokens.begin(), vocab.tokens.end(), piece);
            if (it == vocab.tokens.end()) {
                error = "internal: scripted piece missing from the vocabulary";
                return false;
            }
            chain.push_back(static_cast<int>(it - vocab.tokens.begin()));
        }
    }

    const int zero_rows = s.suppress_special_output ? vocab.first_normal : 0;
    if (scripted) {
        // Embeddings: every token outside the chain shares basis vector 0; chain
        // token k gets basis vector k + 1.
        const std::size_t ne0 = static_cast<std::size_t>(s.n_embd);
        std::vector<float> embd(ne0 * static_cast<std::size_t>(s.n_vocab), 0.0f);
        for (int t = 0; t < s.n_vocab; ++t) embd[static_cast<std::size_t>(t) * ne0] = 1.0f;
        for (std::size_t k = 0; k < chain.size(); ++k) {
            const std::size_t row = static_cast<std::size_t>(chain[k]) * ne0;
            std::fill(embd.begin() + static_cast<std::ptrdiff_t>(row), embd.begin() + static_cast<std::ptrdiff_t>(row + ne0), 0.0f);
            embd[row + k + 1] = 1.0f;
        }
        w.values("token_embd.weight", s.n_embd, s.n_vocab, embd);
    } else {
        w.matrix("token_embd.weight", s.n_embd, s.n_vocab);
    }
    for (int i = 0; i < s.n_layer; ++i) {
        const std::string p = "blk." + std::to_string(i) + ".";
        w.ones(p + "attn_norm.weight", s.n_embd);
        w.matrix(p + "attn_q.weight", s.n_embd, s.n_embd);
        w.matrix(p + "attn_k.weight", s.n_embd, n_embd_kv);
        w.matrix(p + "attn_v.weight", s.n_embd, n_embd_kv);
        if (scripted) w.zeros(p + "attn_output.weight", s.n_embd, s.n_embd);
        else w.matrix(p + "attn_output.weight", s.n_embd, s.n_embd);
        w.ones(p + "ffn_norm.weight", s.n_embd);
        w.matrix(p + "ffn_gate.weight", s.n_embd, s.n_ff);
        w.matrix(p + "ffn_up.weight", s.n_embd, s.n_ff);
        if (scripted) w.zeros(p + "ffn_down.weight", s.n_ff, s.n_embd);
        else w.matrix(p + "ffn_down.weight", s.n_ff, s.n_embd);
    }
    w.ones("output_norm.weight", s.n_embd);
    if (scripted) {
        // Output: basis vector k selects chain token k; the one after the last
        // selects the end-of-turn token.
        const std::size_t ne0 = static_cast<std::size_t>(s.n_embd);
        std::vector<float> out(ne0 * static_cast<std::size_t>(s.n_vocab), 0.0f);
        for (std::size_t k = 0; k < chain.size(); ++k) out[static_cast<std::size_t>(chain[k]) * ne0 + k] = 4.0f;
        out[static_cast<std::size_t>(kImEnd) * ne0 + chain.size()] = 4.0f;
        w.values("output.weight", s.n_embd, s.n_vocab, out);
    } else {
        w.matrix("output.weight", s.n_embd, s.n_vocab, zero_rows);
    }

    std::error_code ec;
    const std::filesystem::path target(path);
    if (target.has_parent_path()) std::filesystem::create_directories(target.parent_path(), ec);
    // Written beside the target and renamed, so a concurrent reader never sees half a file.
    const std::string tmp = path + ".tmp" + std::to_string(std::random_device{}());
    if (!w.write(tmp, error)) return false;
    std::filesystem::rename(tmp, target, ec);
    if (ec) {
        std::filesystem::remove(tmp, ec);
        error = "cannot rename " + tmp + " to " + path;
        return false;
    }
    return true;
}

}  // namespace vexa::gguf_gen
