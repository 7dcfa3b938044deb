// libFuzzer target for the message JSON readers: message_from_json (and its
// round trip through message_to_json), the usage readers, the host's
// images_json and the host's conversation injection.

#include "conversation/chat_message.hpp"
#include "conversation/conversation_manager.hpp"

#include "fuzz_check.hpp"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using nlohmann::json;
using vexa::ChatMessage;

void check_image(const vexa::ImageInput& image) {
    FUZZ_CHECK(!image.url.empty() && image.url.size() <= vexa::kMaxImageUrlBytes);
    FUZZ_CHECK(image.url.size() > 8);
    for (char c : image.url) {
        const auto b = static_cast<unsigned char>(c);
        FUZZ_CHECK(b > 0x20 && b != 0x7F && c != '\\');
    }
    FUZZ_CHECK(image.detail == "high" || image.detail == "low" || image.detail == "auto");
}

bool same_message(const ChatMessage& a, const ChatMessage& b) {
    if (a.role != b.role || a.content != b.content || a.reasoning_content != b.reasoning_content ||
        a.tool_call_id != b.tool_call_id || a.name != b.name || a.tool_calls.size() != b.tool_calls.size() ||
        a.images.size() != b.images.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.tool_calls.size(); ++i) {
        const vexa::ToolCall& x = a.tool_calls[i];
        const vexa::ToolCall& y = b.tool_calls[i];
        // Empty arguments are written as "{}", the form servers expect.
        const std::string& args = x.arguments.empty() ? std::string("{}") : x.arguments;
        if (x.id != y.id || x.name != y.name || args != y.arguments) return false;
    }
    for (std::size_t i = 0; i < a.images.size(); ++i) {
        if (a.images[i].url != b.images[i].url || a.images[i].detail != b.images[i].detail) return false;
    }
    return true;
}

void read_message(const json& value) {
    ChatMessage message;
    try {
        message = vexa::message_from_json(value);
    } catch (const json::type_error&) {
        return;
    }
    for (const vexa::ImageInput& image : message.images) check_image(image);
    (void)vexa::estimate_message_tokens(message);

    // What the library writes it reads back unchanged.
    const ChatMessage again = vexa::message_from_json(vexa::message_to_json(message, true));
    FUZZ_CHECK(same_message(message, again));
    (void)vexa::message_to_json(message, false);
}

void read_usage(const json& value) {
    try {
        const vexa::TokenUsage usage = vexa::parse_usage(value);
        (void)vexa::add_usage(usage, usage);
        (void)vexa::usage_to_json(usage);
    } catch (const json::type_error&) {
        // "estimated" of another type than boolean
    }
    try {
        (void)vexa::usage_from_response(value);
    } catch (const json::type_error&) {
    }
}

void read_images(const std::string& text) {
    std::vector<vexa::ImageInput> images = {{"https://sentinel.example/x.png", "low"}};
    std::string error;
    if (vexa::parse_images_json(text, images, error)) {
        FUZZ_CHECK(error.empty());
        FUZZ_CHECK(images.size() <= vexa::kMaxImagesPerTurn);
        for (const vexa::ImageInput& image : images) check_image(image);
    } else {
        FUZZ_CHECK(!error.empty());
        // A refused list leaves the caller's images alone.
        FUZZ_CHECK(images.size() == 1 && images[0].url == "https://sentinel.example/x.png");
    }
}

void inject(const std::string& text) {
    static vexa::ConversationManager conversation;
    const ChatMessage kept{vexa::MessageRole::user, "kept", {}, {}, {}, {}, {}};
    for (const bool replace : {true, false}) {
        conversation.set_messages({kept});
        const int taken = replace ? conversation.replace_from_json(text) : conversation.append_from_json(text);
        if (taken < 0) {
            FUZZ_CHECK(conversation.message_count() == 1);
            continue;
        }
        const std::size_t before = replace ? 0 : 1;
        FUZZ_CHECK(conversation.message_count() == before + static_cast<std::size_t>(taken));
        for (std::size_t i = before; i < conversation.message_count(); ++i) {
            const ChatMessage& m = conversation.messages()[i];
            FUZZ_CHECK(m.role != vexa::MessageRole::system);
            FUZZ_CHECK(m.images.empty());
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    read_images(text);
    inject(text);

    const json value = json::parse(text, nullptr, false);
    if (value.is_discarded()) return 0;
    read_message(value);
    read_usage(value);
    if (value.is_array()) {
        for (const json& element : value) read_message(element);
    } else if (value.is_object()) {
        if (auto it = value.find("usage"); it != value.end()) read_usage(*it);
    }
    return 0;
}
