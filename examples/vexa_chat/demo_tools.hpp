#pragma once
// Harmless tools the demo registers so a tool-capable model has something to call.

#include <string>

namespace vexa_chat {

// Evaluates an arithmetic expression: numbers, + - * / % ^, parentheses,
// unary minus and sqrt(). Returns false with a reason for anything else.
bool evaluate_expression(const std::string& expression, double& value, std::string& error);

// Tool executors: argument JSON text in, result JSON text out.
std::string calculator_tool(const std::string& arguments_json);
std::string current_time_tool(const std::string& arguments_json);

}  // namespace vexa_chat
