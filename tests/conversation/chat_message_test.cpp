#include "conversation/chat_message.hpp"

#include <gtest/gtest.h>

#include <climits>

namespace vexa {
namespace {

using nlohmann::json;

ImageInput img(std::string url, std::string detail = "") { return ImageInput{std::move(url), std::move(detail)}; }

TEST(ChatMessageRole, NamesBothWays) {
    EXPECT_EQ(role_name(MessageRole::system), "system");
    EXPECT_EQ(role_name(MessageRole::user), "user");
    EXPECT_EQ(role_name(MessageRole::assistant), "assistant");
    EXPECT_EQ(role_name(MessageRole::tool), "tool");
    EXPECT_EQ(role_name(static_cast<MessageRole>(7)), "user");
    EXPECT_EQ(role_name(static_cast<MessageRole>(-1)), "user");

    EXPECT_EQ(role_from_name("system"), MessageRole::system);
    EXPECT_EQ(role_from_name("assistant"), MessageRole::assistant);
    EXPECT_EQ(role_from_name("tool"), MessageRole::tool);
    EXPECT_EQ(role_from_name("user"), MessageRole::user);
    EXPECT_EQ(role_from_name("Assistant"), MessageRole::user);
    EXPECT_EQ(role_from_name(""), MessageRole::user);
}

TEST(ChatMessageJson, ImagesWithAndWithoutIncludeImages) {
    ChatMessage user;
    user.role = MessageRole::user;
    user.images = {img("https://a.example/1.png", "low"), img("https://a.example/2.png")};

    json with = message_to_json(user, true);
    ASSERT_TRUE(with["content"].is_array());
    ASSERT_EQ(with["content"].size(), 3u);
    EXPECT_EQ(with["content"][0], (json{{"type", "text"}, {"text", ""}}));
    EXPECT_EQ(with["content"][1],
              (json{{"type", "image_url"}, {"image_url", {{"url", "https://a.example/1.png"}, {"detail", "low"}}}}));
    EXPECT_EQ(with["content"][2]["image_url"]["detail"], "high");

    EXPECT_EQ(message_to_json(user, false)["content"], "[图片]");

    ChatMessage assistant;
    assistant.role = MessageRole::assistant;
    assistant.images = {img("https://a.example/1.png")};
    EXPECT_EQ(message_to_json(assistant, false)["content"], "");
    // Every role gets the array form when images are included.
    EXPECT_TRUE(message_to_json(assistant, true)["content"].is_array());

    ChatMessage user_text = user;
    user_text.content = "look";
    EXPECT_EQ(message_to_json(user_text, false)["content"], "look");
}

TEST(ChatMessageJson, ToolCallsAndOptionalMembers) {
    ChatMessage m;
    m.role = MessageRole::assistant;
    m.tool_calls = {{"", "search", ""}, {"call_1", "read", "{\"a\":1}"}};
    json j = message_to_json(m, false);
    EXPECT_EQ(j, (json{{"role", "assistant"},
                       {"content", ""},
                       {"tool_calls",
                        {{{"id", ""}, {"type", "function"}, {"function", {{"name", "search"}, {"arguments", "{}"}}}},
                         {{"id", "call_1"},
                          {"type", "function"},
                          {"function", {{"name", "read"}, {"arguments", "{\"a\":1}"}}}}}}}));
    EXPECT_TRUE(j["tool_calls"][1]["function"]["arguments"].is_string());
    EXPECT_FALSE(j.contains("reasoning_content"));
    EXPECT_FALSE(j.contains("tool_call_id"));
    EXPECT_FALSE(j.contains("name"));

    ChatMessage plain;
    EXPECT_EQ(message_to_json(plain, true), (json{{"role", "user"}, {"content", ""}}));
    // Keys come out in ascending byte order.
    ChatMessage tool;
    tool.role = MessageRole::tool;
    tool.content = "r";
    tool.tool_call_id = "c";
    tool.name = "n";
    EXPECT_EQ(message_to_json(tool, false).dump(),
              R"({"content":"r","name":"n","role":"tool","tool_call_id":"c"})");
}

TEST(ChatMessageJson, RoundTrip) {
    struct Case {
        const char* label;
        ChatMessage message;
    };
    ChatMessage full;
    full.role = MessageRole::assistant;
    full.content = "答案 text";
    full.reasoning_content = "why";
    full.tool_calls = {{"c1", "t1", "{\"x\":\"y\"}"}, {"c2", "t2", "[]"}};
    full.name = "bot";
    ChatMessage empty_reasoning;
    empty_reasoning.role = MessageRole::assistant;
    empty_reasoning.reasoning_content = "";
    ChatMessage tool;
    tool.role = MessageRole::tool;
    tool.content = "{\"success\":true}";
    tool.tool_call_id = "";
    tool.name = "t1";
    ChatMessage system;
    system.role = MessageRole::system;
    system.content = "sys";

    const Case cases[] = {{"full assistant", full},
                          {"present-but-empty reasoning", empty_reasoning},
                          {"tool with empty id", tool},
                          {"system", system}};
    for (const auto& c : cases) {
        for (bool include_images : {false, true}) {
            ChatMessage back = message_from_json(message_to_json(c.message, include_images));
            SCOPED_TRACE(c.label);
            EXPECT_EQ(back.role, c.message.role);
            EXPECT_EQ(back.content, c.message.content);
            EXPECT_EQ(back.reasoning_content, c.message.reasoning_content);
            EXPECT_EQ(back.tool_call_id, c.message.tool_call_id);
            EXPECT_EQ(back.name, c.message.name);
            ASSERT_EQ(back.tool_calls.size(), c.message.tool_calls.size());
            for (std::size_t i = 0; i < back.tool_calls.size(); ++i) {
                EXPECT_EQ(back.tool_calls[i].id, c.message.tool_calls[i].id);
                EXPECT_EQ(back.tool_calls[i].name, c.message.tool_calls[i].name);
                EXPECT_EQ(back.tool_calls[i].arguments, c.message.tool_calls[i].arguments);
            }
        }
    }
}

TEST(ChatMessageJson, ImagesSurviveOnlyWithIncludeImagesAndValidation) {
    ChatMessage m;
    m.content = "see";
    m.images = {img("https://a.example/x.png", "LOW"), img("http://insecure.example/y.png")};
    ChatMessage back = message_from_json(message_to_json(m, true));
    EXPECT_EQ(back.content, "see");
    ASSERT_EQ(back.images.size(), 1u);
    EXPECT_EQ(back.images[0].url, "https://a.example/x.png");
    EXPECT_EQ(back.images[0].detail, "low");

    EXPECT_TRUE(message_from_json(message_to_json(m, false)).images.empty());
}

TEST(ChatMessageJson, ReadsContentForms) {
    struct Case {
        const char* json_text;
        const char* content;
        std::size_t images;
    };
    const Case cases[] = {
        {R"({"content":[{"type":"text","text":"ab"},{"type":"text","text":"cd"}]})", "abcd", 0},
        {R"({"content":[1,"x",{"type":7,"text":"no"},{"type":"text","text":5},{"type":"other","text":"z"}]})", "", 0},
        {R"({"content":[{"type":"image_url","image_url":{"url":" https://h/i.png ","detail":"Auto"}}]})", "", 1},
        {R"({"content":[{"type":"image_url","image_url":"https://h/i.png"}]})", "", 0},
        {R"({"content":[{"type":"image_url","image_url":{"url":5}}]})", "", 0},
        {R"({"content":42})", "", 0},
        {R"({"content":null})", "", 0},
        {R"({})", "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json_text);
        ChatMessage m = message_from_json(json::parse(c.json_text));
        EXPECT_EQ(m.role, MessageRole::user);
        EXPECT_EQ(m.content, c.content);
        EXPECT_EQ(m.images.size(), c.images);
    }
    ChatMessage m = message_from_json(
        json::parse(R"({"content":[{"type":"image_url","image_url":{"url":" https://h/i.png ","detail":"Auto"}}]})"));
    EXPECT_EQ(m.images[0].url, "https://h/i.png");
    EXPECT_EQ(m.images[0].detail, "auto");
}

TEST(ChatMessageJson, ReadsToolCallsAndNulls) {
    ChatMessage m = message_from_json(json::parse(
        R"({"role":"assistant","reasoning_content":null,"tool_call_id":null,"name":null,
            "tool_calls":[{"id":"a","function":{"name":"f","arguments":"{\"k\":1}"}},{"id":"b"},{"function":{}}]})"));
    EXPECT_EQ(m.role, MessageRole::assistant);
    EXPECT_FALSE(m.reasoning_content.has_value());
    EXPECT_FALSE(m.tool_call_id.has_value());
    EXPECT_FALSE(m.name.has_value());
    ASSERT_EQ(m.tool_calls.size(), 3u);
    EXPECT_EQ(m.tool_calls[0].id, "a");
    EXPECT_EQ(m.tool_calls[0].name, "f");
    EXPECT_EQ(m.tool_calls[0].arguments, "{\"k\":1}");
    EXPECT_EQ(m.tool_calls[1].id, "b");
    EXPECT_EQ(m.tool_calls[1].name, "");
    EXPECT_EQ(m.tool_calls[2].id, "");
    EXPECT_EQ(m.tool_calls[2].arguments, "");

    // tool_calls that is not an array is ignored.
    EXPECT_TRUE(message_from_json(json::parse(R"({"tool_calls":{"id":"a"}})")).tool_calls.empty());
}

TEST(ChatMessageJson, WrongTypesRaiseTypeErrors) {
    const char* cases[] = {
        R"({"role":1})",
        R"({"reasoning_content":5})",
        R"({"tool_call_id":[]})",
        R"({"name":{}})",
        R"({"tool_calls":[{"id":"a","function":"f"}]})",
        R"({"tool_calls":[{"id":"a","function":{"name":"f","arguments":{"k":1}}}]})",
        R"({"tool_calls":[{"id":3}]})",
        R"({"tool_calls":[7]})",
    };
    for (const char* text : cases) {
        SCOPED_TRACE(text);
        EXPECT_THROW(message_from_json(json::parse(text)), json::type_error);
    }
}

TEST(ImageValidation, Table) {
    const std::string long_url = "https://" + std::string(2048 - 8, 'a');
    struct Case {
        std::string url;
        std::string detail;
        bool ok;
        std::string error_or_url;  // the error on failure, the stored url on success
        std::string stored_detail;
    };
    const Case cases[] = {
        {"  https://x.example/a.png \t\r\n", "", true, "https://x.example/a.png", "high"},
        {"HTTPS://x.example/a.png", "HIGH", true, "HTTPS://x.example/a.png", "high"},
        {"https://x.example/图.png", "Low", true, "https://x.example/图.png", "low"},
        {"https://x.example/a.png", "auto", true, "https://x.example/a.png", "auto"},
        {"", "", false, "image url must be a non-empty https url.", ""},
        {" \t ", "", false, "image url must be a non-empty https url.", ""},
        {long_url, "", true, long_url, "high"},
        {long_url + "a", "", false, "image url exceeds length limit.", ""},
        {"https://x.example/a b.png", "", false, "image url contains whitespace or control characters.", ""},
        {"https://x.example/a\t\\b.png", "", false, "image url contains whitespace or control characters.", ""},
        {"https://x.example/a\x7f", "", false, "image url contains whitespace or control characters.", ""},
        {"https://x.example/a\\b.png", "", false, "image url must not contain backslash.", ""},
        {"http://x.example/a.png", "", false, "image url must be an https absolute url.", ""},
        {"https://", "", false, "image url must be an https absolute url.", ""},
        {"ftp://x.example/a.png", "", false, "image url must be an https absolute url.", ""},
        {"https://x.example/a.png", "medium", false, "images_json detail must be high, low, or auto.", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url.substr(0, 60) + " / " + c.detail);
        ImageInput image{c.url, c.detail};
        std::string error = "stale";
        bool ok = validate_image(image, error);
        EXPECT_EQ(ok, c.ok);
        if (c.ok) {
            EXPECT_EQ(error, "");
            EXPECT_EQ(image.url, c.error_or_url);
            EXPECT_EQ(image.detail, c.stored_detail);
        } else {
            EXPECT_EQ(error, c.error_or_url);
        }
    }
}

TEST(ImageValidation, NormalizeDetail) {
    struct Case {
        const char* in;
        bool ok;
        const char* out;
    };
    const Case cases[] = {{"", true, "high"}, {"HIGH", true, "high"}, {"Low", true, "low"},
                          {"auto", true, "auto"}, {"best", false, "best"}, {" low", false, " low"}};
    for (const auto& c : cases) {
        std::string detail = c.in;
        std::string error;
        EXPECT_EQ(normalize_image_detail(detail, error), c.ok) << c.in;
        EXPECT_EQ(detail, c.out);
        EXPECT_EQ(error.empty(), c.ok);
    }
}

TEST(ImagesJson, Table) {
    std::string ten = "[";
    for (int i = 0; i < 10; ++i) ten += std::string(i ? "," : "") + R"({"url":"https://h/)" + std::to_string(i) + R"("})";
    ten += "]";
    std::string nine = "[";
    for (int i = 0; i < 9; ++i) nine += std::string(i ? "," : "") + R"({"url":"https://h/)" + std::to_string(i) + R"("})";
    nine += "]";

    struct Case {
        std::string text;
        bool ok;
        std::size_t count;  // images on success; on failure the untouched previous list (1)
        std::string error_prefix;
    };
    const Case cases[] = {
        {"", true, 0, ""},
        {"   \n\t", true, 0, ""},
        {"null", true, 0, ""},
        {" [] ", true, 0, ""},
        {nine, true, 9, ""},
        {ten, false, 1, "images_json count exceeds limit."},
        {"{\"url\":\"https://h/a\"}", false, 1, "images_json must be a JSON array."},
        {"\"https://h/a\"", false, 1, "images_json must be a JSON array."},
        {"[\"https://h/a\"]", false, 1, "images_json element must be a JSON object."},
        {"[{\"url\":\"https://h/a\"},{\"url\":\"http://h/b\"}]", false, 1, "image url must be an https absolute url."},
        {"[{\"url\":\"\",\"data_url\":\" https://h/d \"}]", true, 1, ""},
        {"[{\"url\":5,\"data_url\":\"https://h/d\"}]", true, 1, ""},
        {"[{\"url\":\"https://h/a\",\"detail\":\" LOW \"}]", true, 1, ""},
        {"[{\"url\":\"https://h/a\",\"detail\":\"tiny\"}]", false, 1, "images_json detail must be high, low, or auto."},
        {"[{}]", false, 1, "image url must be a non-empty https url."},
        {"[{\"url\":", false, 1, "images_json is not valid JSON: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 80));
        std::vector<ImageInput> images = {img("https://prev/x", "high")};
        std::string error = "stale";
        EXPECT_EQ(parse_images_json(c.text, images, error), c.ok);
        EXPECT_EQ(images.size(), c.count);
        if (c.ok) {
            EXPECT_EQ(error, "");
        } else {
            EXPECT_EQ(error.rfind(c.error_prefix, 0), 0u) << error;
            EXPECT_EQ(images[0].url, "https://prev/x");
        }
    }

    std::vector<ImageInput> images;
    std::string error;
    ASSERT_TRUE(parse_images_json("[{\"url\":\"\",\"data_url\":\" https://h/d \"},{\"url\":\"https://h/a\",\"detail\":\" LOW \"}]",
                                  images, error));
    EXPECT_EQ(images[0].url, "https://h/d");
    EXPECT_EQ(images[0].detail, "high");
    EXPECT_EQ(images[1].detail, "low");
}

TEST(Usage, ParseTable) {
    struct Case {
        const char* json_text;
        int prompt, completion, total, cached;
        bool estimated;
    };
    const Case cases[] = {
        {R"({"input_tokens":10,"output_tokens":5})", 10, 5, 15, -1, false},
        {R"({"prompt_tokens":-1,"input_tokens":7})", 7, -1, -1, -1, false},
        {R"({"prompt_tokens":3,"completion_tokens":4,"total_tokens":100})", 3, 4, 100, -1, false},
        {R"({"prompt_tokens":3.9,"completion_tokens":4294967296,"total_tokens":null})", 3, INT_MAX, INT_MAX, -1, false},
        {R"({"prompt_tokens":"3","completion_tokens":true})", -1, -1, -1, -1, false},
        {R"({"prompt_tokens_details":{"cached_tokens":2},"cached_tokens":9})", -1, -1, -1, 2, false},
        {R"({"prompt_tokens_details":5,"cached_tokens":9})", -1, -1, -1, 9, false},
        {R"({"prompt_cache_hit_tokens":4,"cache_read_input_tokens":8})", -1, -1, -1, 4, false},
        {R"({"cache_read_input_tokens":8})", -1, -1, -1, 8, false},
        {R"({"input_tokens_details":{"cached_tokens":6}})", -1, -1, -1, 6, false},
        {R"({"prompt_tokens":1,"estimated":true})", 1, -1, -1, -1, true},
        {R"([1,2])", -1, -1, -1, -1, false},
        {R"("usage")", -1, -1, -1, -1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json_text);
        TokenUsage u = parse_usage(json::parse(c.json_text));
        EXPECT_EQ(u.prompt_tokens, c.prompt);
        EXPECT_EQ(u.completion_tokens, c.completion);
        EXPECT_EQ(u.total_tokens, c.total);
        EXPECT_EQ(u.cached_tokens, c.cached);
        EXPECT_EQ(u.estimated, c.estimated);
    }
    EXPECT_THROW(parse_usage(json::parse(R"({"estimated":"yes"})")), json::type_error);
}

TEST(Usage, FromResponseAndToJson) {
    TokenUsage u = usage_from_response(json::parse(R"({"usage":{"prompt_tokens":2,"completion_tokens":3,"estimated":true}})"));
    EXPECT_EQ(u.total_tokens, 5);
    EXPECT_FALSE(u.estimated);
    for (const char* text : {R"({"usage":5})", R"({})", R"([])"}) {
        TokenUsage none = usage_from_response(json::parse(text));
        EXPECT_FALSE(has_usage(none)) << text;
        EXPECT_EQ(none.total_tokens, -1);
        EXPECT_EQ(none.cached_tokens, -1);
    }

    TokenUsage full{10, 5, 15, 3, true};
    json j = usage_to_json(full);
    EXPECT_EQ(j, (json{{"prompt_tokens", 10},
                       {"completion_tokens", 5},
                       {"total_tokens", 15},
                       {"estimated", true},
                       {"prompt_tokens_details", {{"cached_tokens", 3}}}}));
    TokenUsage back = parse_usage(j);
    EXPECT_EQ(back.prompt_tokens, 10);
    EXPECT_EQ(back.completion_tokens, 5);
    EXPECT_EQ(back.total_tokens, 15);
    EXPECT_EQ(back.cached_tokens, 3);
    EXPECT_TRUE(back.estimated);

    EXPECT_EQ(usage_to_json(TokenUsage{}), (json{{"estimated", false}}));
    EXPECT_FALSE(has_usage(TokenUsage{}));
    EXPECT_TRUE(has_usage(TokenUsage{0, -1, -1, -1, false}));
    EXPECT_TRUE(has_usage(TokenUsage{-1, 0, -1, -1, false}));
}

TEST(Usage, AddTable) {
    struct Case {
        const char* label;
        TokenUsage a, b, want;
    };
    const Case cases[] = {
        {"unknown + estimated", {}, {10, 5, 15, -1, true}, {10, 5, 15, -1, true}},
        {"both unknown", {}, {}, {-1, -1, -1, -1, false}},
        {"sum known sides", {10, 5, 15, 2, false}, {1, -1, -1, -1, false}, {11, 5, 16, 2, false}},
        {"totals only", {-1, -1, 7, -1, false}, {-1, -1, 3, -1, false}, {-1, -1, 10, -1, false}},
        {"estimated without usage ignored", {-1, -1, -1, -1, true}, {1, 1, 2, -1, false}, {1, 1, 2, -1, false}},
        {"cached sums", {1, 1, 2, 4, false}, {1, 1, 2, 6, true}, {2, 2, 4, 10, true}},
        {"clamped", {INT_MAX, 1, INT_MAX, -1, false}, {5, 1, 6, -1, false}, {INT_MAX, 2, INT_MAX, -1, false}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        TokenUsage u = add_usage(c.a, c.b);
        EXPECT_EQ(u.prompt_tokens, c.want.prompt_tokens);
        EXPECT_EQ(u.completion_tokens, c.want.completion_tokens);
        EXPECT_EQ(u.total_tokens, c.want.total_tokens);
        EXPECT_EQ(u.cached_tokens, c.want.cached_tokens);
        EXPECT_EQ(u.estimated, c.want.estimated);
    }
}

TEST(TokenEstimate, TextTable) {
    struct Case {
        std::string text;
        int tokens;
    };
    const Case cases[] = {
        {"", 0},
        {"abcde", 2},
        {"abcd", 1},
        {"中文字", 3},
        {"ab中", 2},
        {"ab中cd", 3},
        {"😀", 1},
        {"\xE4\xB8", 1},           // cut-off 3-byte sequence
        {"\x80\x80", 2},           // stray continuation bytes count one each
        {"\xF8" "abcd", 2},        // invalid lead byte: one, then the ASCII run
        {"é", 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(estimate_text_tokens(c.text), c.tokens) << c.text;
    }
}

TEST(TokenEstimate, MessagesAndFinalize) {
    ChatMessage m;
    m.content = "abcde";                    // 2
    m.reasoning_content = "abcd";           // 1
    m.tool_calls = {{"ignored-id-long", "ab", "abcdefgh"}};  // 1 + 2
    m.images = {img("https://h/a", "low"), img("https://h/b", "high"), img("https://h/c", "")};
    EXPECT_EQ(estimate_message_tokens(m), 2 + 1 + 3 + 85 + 765 + 765);

    ChatMessage response;
    response.content = "abcdefgh";  // 2
    std::vector<ChatMessage> request(2);
    request[0].content = "abcd";
    request[1].content = "中文";

    TokenUsage est = finalize_usage(TokenUsage{}, request, response);
    EXPECT_EQ(est.prompt_tokens, 3);
    EXPECT_EQ(est.completion_tokens, 2);
    EXPECT_EQ(est.total_tokens, 5);
    EXPECT_EQ(est.cached_tokens, -1);
    EXPECT_TRUE(est.estimated);

    TokenUsage reported = finalize_usage(TokenUsage{100, 20, -1, 50, true}, request, response);
    EXPECT_EQ(reported.prompt_tokens, 100);
    EXPECT_EQ(reported.completion_tokens, 20);
    EXPECT_EQ(reported.total_tokens, 120);
    EXPECT_EQ(reported.cached_tokens, 50);
    EXPECT_FALSE(reported.estimated);

    TokenUsage partial = finalize_usage(TokenUsage{-1, 20, -1, -1, false}, request, response);
    EXPECT_EQ(partial.prompt_tokens, -1);
    EXPECT_EQ(partial.total_tokens, -1);

    TokenUsage always = estimate_usage(request, response);
    EXPECT_TRUE(always.estimated);
    EXPECT_EQ(always.total_tokens, 5);
}

TEST(TrimWs, OnlyFourBytes) {
    EXPECT_EQ(trim_ws(" \t\r\nab c\n\r\t "), "ab c");
    EXPECT_EQ(trim_ws("\vx\f"), "\vx\f");
    EXPECT_EQ(trim_ws("   "), "");
    EXPECT_EQ(trim_ws(""), "");
}

}  // namespace
}  // namespace vexa
