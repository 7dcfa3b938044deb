#pragma once
// Conversation message model shared by every subsystem, with its JSON forms,
// image validation and token usage helpers.

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

namespace vexa {

enum class MessageRole : int { system = 0, user = 1, assistant = 2, tool = 3 };

std::string role_name(MessageRole role);
MessageRole role_from_name(const std::string& name);

struct ToolCall {
    std::string id;
    std::string name;
    std::string arguments;  // JSON text exactly as received
};

struct ImageInput {
    std::string url;
    std::string detail;
};

struct ChatMessage {
    MessageRole role = MessageRole::user;
    std::string content;
    std::optional<std::string> reasoning_content;
    std::vector<ToolCall> tool_calls;
    std::optional<std::string> tool_call_id;
    std::optional<std::string> name;
    std::vector<ImageInput> images;
};

struct TokenUsage {
    int prompt_tokens = -1;
    int completion_tokens = -1;
    int total_tokens = -1;
    int cached_tokens = -1;
    bool estimated = false;
};

inline constexpr std::size_t kMaxImagesPerTurn = 9;
inline constexpr std::size_t kMaxImageUrlBytes = 2048;

nlohmann::json message_to_json(const ChatMessage& message, bool include_images);
// Throws nlohmann::json::type_error for members of the wrong type.
ChatMessage message_from_json(const nlohmann::json& value);

bool parse_images_json(const std::string& text, std::vector<ImageInput>& images, std::string& error);
bool validate_image(ImageInput& image, std::string& error);
bool normalize_image_detail(std::string& detail, std::string& error);

TokenUsage parse_usage(const nlohmann::json& value);
TokenUsage usage_from_response(const nlohmann::json& root);
nlohmann::json usage_to_json(const TokenUsage& usage);
bool has_usage(const TokenUsage& usage);
TokenUsage add_usage(const TokenUsage& a, const TokenUsage& b);

int estimate_text_tokens(const std::string& text);
int estimate_message_tokens(const ChatMessage& message);
TokenUsage finalize_usage(const TokenUsage& reported, const std::vector<ChatMessage>& request,
                          const ChatMessage& response);
TokenUsage estimate_usage(const std::vector<ChatMessage>& request, const ChatMessage& response);

// Strips space, tab, CR and LF from both ends.
std::string trim_ws(const std::string& text);

}  // namespace vexa
