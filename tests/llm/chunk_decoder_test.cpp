// The chunk decoder's reader for the common chunk shape against the general
// parser: whatever the reader accepts it must decode exactly alike, and
// whatever it declines must still come out of parse() as the general parser
// decodes it (including the exception raised).

#include "llm/chunk_decoder.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace vexa {
namespace {

using detail::ChunkDecoder;
using nlohmann::json;

// Everything a decoded chunk carries, as one comparable text.
std::string picture(const ChatCompletionChunk& c, const ChunkDecoder& decoder) {
    auto opt = [](const std::optional<std::string>& v) { return v ? json(*v) : json(nullptr); };
    json choices = json::array();
    for (std::size_t i = 0; i < c.choices.size(); ++i) {
        const ChunkChoice& ch = c.choices[i];
        const ChoiceDelta& d = ch.delta;
        json calls = json::array();
        for (std::size_t k = 0; k < d.tool_calls.size(); ++k) {
            calls.push_back({d.tool_calls[k].id, d.tool_calls[k].name, d.tool_calls[k].arguments,
                             d.tool_call_indices[k]});
        }
        choices.push_back({ch.index, opt(ch.finish_reason), opt(d.role), opt(d.content), opt(d.reasoning_content),
                           opt(d.x_qorbin_seg_id),
                           d.x_qorbin_revoke ? json({d.x_qorbin_revoke->seg_id, d.x_qorbin_revoke->mode})
                                             : json(nullptr),
                           d.x_qorbin_reset, calls, decoder.choice_error(i)});
    }
    const TokenUsage& u = c.usage;
    // dump's replace handler keeps invalid bytes comparable instead of throwing.
    return json({c.id, c.object, choices, {u.prompt_tokens, u.completion_tokens, u.total_tokens, u.estimated},
                 decoder.root_error()})
        .dump(-1, ' ', false, json::error_handler_t::replace);
}

template <class Decode>
std::string outcome(Decode&& decode) {
    ChatCompletionChunk out;
    ChunkDecoder decoder;
    decoder.begin(out, false);
    try {
        decode(decoder);
        decoder.finish();
        return picture(out, decoder);
    } catch (const json::exception& e) {
        return std::string("throws: ") + e.what();
    }
}

std::string general(const std::string& text) {
    return outcome([&](ChunkDecoder& d) { json::sax_parse(text.data(), text.data() + text.size(), &d); });
}

std::string combined(const std::string& text) {
    return outcome([&](ChunkDecoder& d) { d.parse(text); });
}

// The reader alone; nullopt when it declines the text.
std::optional<std::string> common(const std::string& text) {
    bool accepted = false;
    std::string result = outcome([&](ChunkDecoder& d) { accepted = d.parse_common(text); });
    if (!accepted) return std::nullopt;
    return result;
}

struct Case {
    std::string text;
    bool common;  // whether the reader is expected to take it
};

std::string chunk(const std::string& delta, const std::string& extra = "") {
    return R"({"id":"chatcmpl-1","object":"chat.completion.chunk","created":1718000000,"model":"m",)" + extra +
           R"("choices":[{"index":0,"delta":)" + delta + R"(,"logprobs":null,"finish_reason":null}]})";
}

const std::vector<Case>& cases() {
    static const std::vector<Case> table = {
        // The usual shapes.
        {chunk(R"({"content":" the"})"), true},
        {chunk(R"({"role":"assistant","content":""})"), true},
        {chunk(R"({})"), true},
        {R"({"id":"x","choices":[{"index":0,"delta":{},"finish_reason":"stop"}]})", true},
        {R"({"choices":[{"index":0,"delta":{"content":"a"}},{"index":1,"delta":{"content":"b"}}]})", true},
        {R"({"choices":[]})", true},
        {R"({})", true},
        {chunk(R"({"content":"x","refusal":null})", R"("system_fingerprint":"fp_1","service_tier":"default",)"), true},
        {chunk(R"({"reasoning_content":"think","content":null})"), true},
        {chunk(R"({"reasoning":"r"})"), true},
        {chunk(R"({"reasoning_content":"","reasoning":"r2"})"), true},
        {chunk(R"({"reasoning_content":"kept","reasoning":"dropped"})"), true},
        {chunk(R"({"reasoning":""})"), true},
        // Escapes.
        {chunk(R"({"content":"a\"b\\c\/d\b\f\n\r\t e"})"), true},
        {chunk(R"({"content":"\u00e9\u4e2d\u0041\u007f\u0080\u07ff\u0800\uffff"})"), true},
        {chunk(R"({"content":"\uD83D\uDE00 \ud83d\ude00 \uDBFF\uDFFF"})"), true},
        {chunk(R"({"content":"nul\u0000byte"})"), true},
        {chunk(R"({"content":"\uD83D"})"), false},
        {chunk(R"({"content":"\uD83D\u0041"})"), false},
        {chunk(R"({"content":"\uD83Dx"})"), false},
        {chunk(R"({"content":"\uDE00"})"), false},
        {chunk(R"({"content":"\u12G4"})"), false},
        {chunk(R"({"content":"\u12"})"), false},
        {chunk(R"({"content":"\x"})"), false},
        {chunk(R"({"content":"\)"), false},
        // Raw UTF-8, valid and not.
        {chunk("{\"content\":\" 数据 😀 é\"}"), true},
        {chunk("{\"content\":\"\xff\"}"), false},
        {chunk("{\"content\":\"\xc0\xaf\"}"), false},
        {chunk("{\"content\":\"\xc1\xbf\"}"), false},
        {chunk("{\"content\":\"\xe0\x9f\xbf\"}"), false},
        {chunk("{\"content\":\"\xed\xa0\x80\"}"), false},
        {chunk("{\"content\":\"\xe4\xb8\"}"), false},
        {chunk("{\"content\":\"\xf0\x8f\xbf\xbf\"}"), false},
        {chunk("{\"content\":\"\xf4\x90\x80\x80\"}"), false},
        {chunk("{\"content\":\"\xf5\x80\x80\x80\"}"), false},
        {chunk("{\"content\":\"\x80\"}"), false},
        {chunk("{\"content\":\"ok\"}", "\"model2\":\"\xfe\","), false},
        {chunk("{\"content\":\"\xf4\x8f\xbf\xbf\xed\x9f\xbf\xee\x80\x80\"}"), true},
        {chunk("{\"content\":\"\x01\"}"), false},
        {chunk("{\"content\":\"line\nbreak\"}"), false},
        {chunk("{\"content\":\"tab\there\"}"), false},
        {chunk("{\"content\":\"del\x7f\"}"), true},
        {chunk("{\"content\":\"数据\\n数据\\u00e9数据 plain ascii 😀\\t\"}"), true},
        // Numbers.
        {R"({"created":-5,"x":0,"y":-0,"z":1.5,"w":-0.25,"choices":[{"index":2,"delta":{"content":"n"}}]})", true},
        {R"({"choices":[{"index":-1,"delta":{}}]})", true},
        {R"({"choices":[{"index":-0,"delta":{}}]})", true},
        {R"({"choices":[{"index":99999999999,"delta":{}}]})", true},
        {R"({"choices":[{"index":-99999999999,"delta":{}}]})", true},
        {R"({"choices":[{"index":999999999999999999,"delta":{}}]})", true},
        {R"({"choices":[{"index":9999999999999999999,"delta":{}}]})", false},
        {R"({"choices":[{"index":18446744073709551615,"delta":{}}]})", false},
        {R"({"choices":[{"index":1.9,"delta":{}}]})", false},
        {R"({"choices":[{"index":-1.9,"delta":{}}]})", false},
        {R"({"choices":[{"index":1e300}]})", false},
        {R"({"choices":[{"index":true}]})", false},
        {R"({"choices":[{"index":null}]})", false},
        {R"({"choices":[{"index":"1"}]})", false},
        {R"({"created":1e5,"choices":[]})", false},
        {R"({"created":1e400,"choices":[]})", false},
        {R"({"created":01,"choices":[]})", false},
        {R"({"created":-,"choices":[]})", false},
        {R"({"created":1.,"choices":[]})", false},
        {R"({"created":.5,"choices":[]})", false},
        {R"({"created":+1,"choices":[]})", false},
        {R"({"created":0x10,"choices":[]})", false},
        {"{\"created\":" + std::string(400, '9') + ",\"choices\":[]}", false},
        {"{\"created\":" + std::string(250, '9') + ".5,\"choices\":[]}", true},
        // Nulls and literals.
        {R"({"id":null,"object":null,"choices":[{"index":0,"delta":{"content":null,"reasoning_content":null},"finish_reason":null}]})", true},
        {R"({"choices":null})", true},
        {R"({"a":true,"b":false,"c":null,"choices":[]})", true},
        {R"({"a":tru,"choices":[]})", false},
        {R"({"a":nul,"choices":[]})", false},
        {R"({"a":nullx,"choices":[]})", false},
        {R"({"a":True,"choices":[]})", false},
        // Members of unexpected kinds.
        {chunk(R"({"content":5})"), false},
        {chunk(R"({"content":true})"), false},
        {chunk(R"({"content":{"text":"x"}})"), false},
        {chunk(R"({"content":["x"]})"), false},
        {chunk(R"({"reasoning_content":7})"), false},
        {chunk(R"({"role":5})"), false},
        {chunk(R"({"role":null})"), false},
        {chunk(R"({"reasoning":null})"), false},
        {chunk(R"([])"), false},
        {chunk(R"(null)"), false},
        {chunk(R"("text")"), false},
        {R"({"choices":[{"finish_reason":["stop"]}]})", false},
        {R"({"choices":[{"finish_reason":0}]})", false},
        {R"({"id":5,"object":[1,{"a":2}],"choices":[]})", true},
        {R"({"id":{"nested":"x"},"choices":[]})", true},
        {R"({"choices":{}})", true},
        {R"({"choices":{"0":{"delta":{"content":"x"}}}})", true},
        {R"({"choices":"none"})", true},
        {R"({"choices":5})", true},
        {R"({"choices":["not an object"]})", false},
        {R"({"choices":[{"delta":{"content":"a"}},7]})", false},
        {R"({"choices":[[]]})", false},
        {R"({"choices":[null]})", false},
        // What the reader leaves to the general parser.
        {R"({"choices":[],"usage":{"prompt_tokens":5,"completion_tokens":6,"total_tokens":11}})", false},
        {R"({"choices":[],"usage":null})", false},
        {R"({"choices":[{"delta":{},"usage":{"input_tokens":4,"output_tokens":1}}]})", false},
        {R"({"error":{"message":"bad"}})", false},
        {R"({"choices":[{"delta":{},"finish_reason":"error","error":{"message":"x"}}]})", false},
        {chunk(R"({"tool_calls":[{"index":0,"id":"c","function":{"name":"f","arguments":"{}"}}]})"), false},
        {chunk(R"({"x_qorbin_seg_id":"s","content":"t"})"), false},
        {chunk(R"({"x_qorbin_revoke":{"seg_id":"s","mode":"delete"}})"), false},
        {chunk(R"({"x_qorbin_reset":true})"), false},
        {R"({"con\u0074ent":"x","choices":[]})", false},
        {chunk(R"({"con\u0074ent":"escaped key"})"), false},
        {"{\"ключ\":1,\"choices\":[]}", false},
        // Unknown members of any shape are skipped.
        {chunk(R"({"content":"x"})", R"("logprobs":{"content":[{"token":"a","bytes":[97],"top":[]}],"e":{}},)"), true},
        {R"({"choices":[{"index":0,"delta":{"content":"ok","unknown":{"a":{"b":[1,{"c":null}]}}}}]})", true},
        {R"({"choices":[{"index":0,"message":{"content":"ignored when streaming"},"delta":{"content":"d"}}]})", true},
        {R"({"x":{"k\u00e9y":"v\n","\ud83d\ude00":["\"",-1.25e0]},"choices":[]})", false},
        {R"({"x":{"k\u00e9y":"v\n","\ud83d\ude00":["\"",-1.25]},"choices":[]})", true},
        {"{\"x\":" + std::string(32, '[') + std::string(32, ']') + ",\"choices\":[]}", true},
        {"{\"x\":" + std::string(33, '[') + std::string(33, ']') + ",\"choices\":[]}", false},
        {"{\"x\":" + std::string(40, '[') + std::string(39, ']') + ",\"choices\":[]}", false},
        {R"({"x":[1,2,],"choices":[]})", false},
        {R"({"x":{"a":1,},"choices":[]})", false},
        {R"({"x":{"a" 1},"choices":[]})", false},
        {R"({"x":{1:1},"choices":[]})", false},
        {R"({"x":[1 2],"choices":[]})", false},
        {R"({"x":{"a":1]},"choices":[]})", false},
        // Repeated members: the later one counts.
        {chunk(R"({"content":"first","content":"second"})"), true},
        {R"({"choices":[{"delta":{"content":"a"},"delta":{"role":"r"}}]})", true},
        {R"({"choices":[{"delta":{"content":"a"}}],"choices":[{"delta":{"content":"b"}},{"delta":{}}]})", true},
        {R"({"id":"a","id":"b","choices":[]})", true},
        {R"({"choices":[{"finish_reason":"stop","finish_reason":null}]})", true},
        // Whitespace.
        {" \t\r\n{ \"id\" : \"w\" ,\n\t\"choices\" : [ { \"index\" : 0 , \"delta\" : { \"content\" : \"x\" } , "
         "\"finish_reason\" : null } ] , \"n\" : [ 1 , { } , [ ] ] } \r\n\t ",
         true},
        {"{\"choices\":[]}\n\n", true},
        {"{\"choices\":[]}\f", false},
        {"{\"choices\":[]}\x0b", false},
        {"\xc2\xa0{\"choices\":[]}", false},
        // Not a chunk, or not JSON at all.
        {"", false},
        {"   ", false},
        {"[]", false},
        {"null", false},
        {"\"text\"", false},
        {"42", false},
        {"\xef\xbb\xbf{\"choices\":[{\"delta\":{\"content\":\"bom\"}}]}", false},
        {"{\"choices\":[]}x", false},
        {"{\"choices\":[]}{}", false},
        {"{\"choices\":[]", false},
        {"{\"choices\":", false},
        {"{\"choices\"", false},
        {"{\"choices", false},
        {"{", false},
        {"{\"a\":1 \"b\":2}", false},
        {"{'a':1}", false},
        {"{\"a\":1}/*c*/", false},
        {std::string("{\"choices\":[]}\0", 15), false},
        {std::string("{\"content\0\":1}", 14), false},
    };
    return table;
}

TEST(ChunkDecoderTest, CommonReaderAgreesWithGeneralParser) {
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.text);
        const std::string expected = general(c.text);
        const std::optional<std::string> fast = common(c.text);
        EXPECT_EQ(fast.has_value(), c.common);
        if (fast) {
            EXPECT_EQ(*fast, expected);
        }
        EXPECT_EQ(combined(c.text), expected);
    }
}

// The reader must never accept text the general parser rejects.
TEST(ChunkDecoderTest, CommonReaderTakesOnlyValidJson) {
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.text);
        if (common(c.text)) {
            EXPECT_TRUE(json::accept(c.text));
        }
    }
}

// Every kind of byte that ends a plain run, at every offset of a string (the
// reader scans several bytes at once).
TEST(ChunkDecoderTest, SpecialBytesAtEveryOffset) {
    const std::vector<std::string> specials = {"\\\"", "\\n", "\\u00e9", "\xc3\xa9", "\xe6\x95\xb0",
                                               "\xf0\x9f\x98\x80", "\x7f", "\x01", "\x1f", "\xff", "\xc3",
                                               "\n", "\\x"};
    int taken = 0;
    for (const std::string& special : specials) {
        for (std::size_t before = 0; before < 20; ++before) {
            for (std::size_t after : {0, 1, 7, 8, 9}) {
                const std::string text = chunk(R"({"content":")" + std::string(before, 'a') + special +
                                               std::string(after, 'b') + R"("})");
                SCOPED_TRACE(text);
                const std::string expected = general(text);
                EXPECT_EQ(combined(text), expected);
                if (const auto fast = common(text)) {
                    ++taken;
                    EXPECT_EQ(*fast, expected);
                }
            }
        }
    }
    EXPECT_EQ(taken, 7 * 20 * 5);  // all but the invalid ones
}

// Mutations of typical chunks (bytes replaced, inserted, removed, cut) decode
// alike through parse() and the general parser.
TEST(ChunkDecoderTest, MutatedChunksDecodeAlike) {
    const std::vector<std::string> seeds = {
        chunk(R"({"content":" the \"model\"\n\u00e9 \ud83d\ude00"})"),
        chunk(R"({"role":"assistant","reasoning_content":"hm","reasoning":"r"})"),
        R"({"id":"a","choices":[{"index":1,"delta":{"content":"x","z":[1,-2.5,{"q":null}]},"finish_reason":"stop"}]})",
        R"({"choices":[{"index":0,"delta":{"content":"数据"}}],"usage":{"prompt_tokens":1}})",
        R"({"choices":[{"delta":{"tool_calls":[{"index":0,"function":{"arguments":"{}"}}]}}]})",
    };
    const std::string alphabet = "{}[]:,\"\\u0123456789abcdefnrtlsE.-+ \n\xc3\xa9\xed\xff";
    std::mt19937 rng(20260101);
    int fast_taken = 0;
    for (const std::string& seed : seeds) {
        for (int round = 0; round < 3000; ++round) {
            std::string text = seed;
            const int edits = 1 + static_cast<int>(rng() % 3);
            for (int e = 0; e < edits && !text.empty(); ++e) {
                const std::size_t at = rng() % text.size();
                const char byte = alphabet[rng() % alphabet.size()];
                switch (rng() % 4) {
                    case 0: text[at] = byte; break;
                    case 1: text.insert(text.begin() + static_cast<std::ptrdiff_t>(at), byte); break;
                    case 2: text.erase(at, 1); break;
                    default: text.resize(at); break;
                }
            }
            const std::string expected = general(text);
            ASSERT_EQ(combined(text), expected) << text;
            if (const auto fast = common(text)) {
                ++fast_taken;
                ASSERT_EQ(*fast, expected) << text;
            }
        }
    }
    EXPECT_GT(fast_taken, 100);  // the mutations do reach the reader's own paths
}

// The session's decoder is reused for every event: a declined chunk between
// common ones leaves nothing behind.
TEST(ChunkDecoderTest, ReusedDecoderCarriesNothingOver) {
    ChunkDecoder decoder;
    ChatCompletionChunk out;
    const std::vector<std::string> texts = {
        chunk(R"({"content":"a long enough text to leave the inline buffer"})"),
        R"({"choices":[{"delta":{"reasoning":"r"},"usage":{"prompt_tokens":3}}],"error":{"message":"m"}})",
        chunk(R"({"content":"b"})"),
        R"({"choices":[{"delta":{"content":5}}]})",
        chunk(R"({"reasoning_content":null})"),
        R"({"choices":[],"usage":{"prompt_tokens":5,"completion_tokens":6}})",
        chunk(R"({"content":"c"})"),
    };
    for (const std::string& text : texts) {
        SCOPED_TRACE(text);
        std::string reused;
        decoder.begin(out, false);
        try {
            decoder.parse(text);
            decoder.finish();
            reused = picture(out, decoder);
        } catch (const json::exception& e) {
            reused = std::string("throws: ") + e.what();
        }
        EXPECT_EQ(reused, general(text));
    }
}

}  // namespace
}  // namespace vexa
