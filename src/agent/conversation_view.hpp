#pragma once
// The message list a ReAct loop reads and extends: the session's conversation
// for an ordinary turn, a private list for an orchestrated task.

#include "conversation/chat_message.hpp"
#include "conversation/conversation_manager.hpp"

#include <string>
#include <utility>
#include <vector>

namespace vexa {

class IConversationView {
public:
    virtual ~IConversationView() = default;
    virtual std::vector<ChatMessage>& messages() = 0;
    virtual void append(ChatMessage message) = 0;
    virtual void append_tool_result(const std::string& tool_call_id, const std::string& name,
                                    const std::string& content) = 0;
};

class ManagerConversationView final : public IConversationView {
public:
    explicit ManagerConversationView(ConversationManager& conversation) : conversation_(conversation) {}
    std::vector<ChatMessage>& messages() override { return conversation_.messages(); }
    void append(ChatMessage message) override { conversation_.append(std::move(message)); }
    void append_tool_result(const std::string& tool_call_id, const std::string& name,
                            const std::string& content) override {
        conversation_.add_tool_result(tool_call_id, name, content);
    }

private:
    ConversationManager& conversation_;
};

class LocalConversationView final : public IConversationView {
public:
    LocalConversationView() = default;
    explicit LocalConversationView(std::vector<ChatMessage> messages) : messages_(std::move(messages)) {}
    std::vector<ChatMessage>& messages() override { return messages_; }
    void append(ChatMessage message) override { messages_.push_back(std::move(message)); }
    void append_tool_result(const std::string& tool_call_id, const std::string& name,
                            const std::string& content) override {
        ChatMessage message;
        message.role = MessageRole::tool;
        message.content = content;
        message.tool_call_id = tool_call_id;
        message.name = name;
        messages_.push_back(std::move(message));
    }

private:
    std::vector<ChatMessage> messages_;
};

}  // namespace vexa
