#include "demo_tools.hpp"

#include <nlohmann/json.hpp>

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <stdexcept>

namespace vexa_chat {
namespace {

// Recursive descent over the expression grammar:
//   expr   := term (('+' | '-') term)*
//   term   := power (('*' | '/' | '%') power)*
//   power  := unary ('^' power)?
//   unary  := '-' unary | '+' unary | primary
//   primary:= number | '(' expr ')' | 'sqrt' '(' expr ')'
class Parser {
public:
    explicit Parser(const std::string& text) : text_(text) {}

    double parse() {
        const double value = expr();
        skip_space();
        if (pos_ != text_.size()) fail("unexpected '" + std::string(1, text_[pos_]) + "'");
        return value;
    }

private:
    [[noreturn]] void fail(const std::string& why) { throw std::runtime_error(why); }

    void skip_space() {
        while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
    }
    bool take(char c) {
        skip_space();
        if (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }

    double expr() {
        double value = term();
        for (;;) {
            if (take('+')) {
                value += term();
            } else if (take('-')) {
                value -= term();
            } else {
                return value;
            }
        }
    }
    double term() {
        double value = power();
        for (;;) {
            if (take('*')) {
                value *= power();
            } else if (take('/')) {
                const double d = power();
                if (d == 0) fail("division by zero");
                value /= d;
            } else if (take('%')) {
                const double d = power();
                if (d == 0) fail("division by zero");
                value = std::fmod(value, d);
            } else {
                return value;
            }
        }
    }
    double power() {
        const double base = unary();
        if (take('^')) return std::pow(base, power());
        return base;
    }
    double unary() {
        if (take('-')) return -unary();
        if (take('+')) return unary();
        return primary();
    }
    double primary() {
        if (++depth_ > 200) fail("expression nested too deeply");
        double value = 0;
        skip_space();
        if (take('(')) {
            value = expr();
            if (!take(')')) fail("missing ')'");
        } else if (text_.compare(pos_, 4, "sqrt") == 0) {
            pos_ += 4;
            if (!take('(')) fail("sqrt needs '('");
            const double arg = expr();
            if (!take(')')) fail("missing ')'");
            if (arg < 0) fail("sqrt of a negative number");
            value = std::sqrt(arg);
        } else {
            const char* begin = text_.c_str() + pos_;
            char* end = nullptr;
            value = std::strtod(begin, &end);
            if (end == begin) fail(pos_ < text_.size() ? "unexpected '" + std::string(1, text_[pos_]) + "'"
                                                       : "unexpected end of expression");
            pos_ += static_cast<std::size_t>(end - begin);
        }
        --depth_;
        return value;
    }

    const std::string& text_;
    std::size_t pos_ = 0;
    int depth_ = 0;
};

std::string failure(const std::string& error) {
    return nlohmann::json{{"success", false}, {"error", error}}.dump();
}

}  // namespace

bool evaluate_expression(const std::string& expression, double& value, std::string& error) {
    try {
        value = Parser(expression).parse();
        if (!std::isfinite(value)) {
            error = "result is not a finite number";
            return false;
        }
        return true;
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
}

std::string calculator_tool(const std::string& arguments_json) {
    const auto args = nlohmann::json::parse(arguments_json, nullptr, false);
    if (!args.is_object() || !args.contains("expression") || !args["expression"].is_string()) {
        return failure("expected {\"expression\": \"...\"}");
    }
    const std::string expression = args["expression"].get<std::string>();
    double value = 0;
    std::string error;
    if (!evaluate_expression(expression, value, error)) return failure(error);
    return nlohmann::json{{"success", true}, {"expression", expression}, {"result", value}}.dump();
}

std::string current_time_tool(const std::string&) {
    const std::time_t now = std::time(nullptr);
    char local[64] = {0};
    char utc[64] = {0};
    // The demo calls tools on one thread only, so the shared buffers of
    // localtime/gmtime are safe here.
    if (const std::tm* tm = std::localtime(&now)) std::strftime(local, sizeof local, "%Y-%m-%dT%H:%M:%S", tm);
    if (const std::tm* tm = std::gmtime(&now)) std::strftime(utc, sizeof utc, "%Y-%m-%dT%H:%M:%SZ", tm);
    return nlohmann::json{{"success", true}, {"local_time", local}, {"utc_time", utc}}.dump();
}

}  // namespace vexa_chat
