#include "llm/retry_policy.hpp"

#include "config/agent_config.hpp"
#include "config/text_util.hpp"
#include "llm/http_client.hpp"
#include "support/log.hpp"
#include "support/utf8.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace vexa {

namespace {

using std::chrono::milliseconds;

constexpr const char* kCancelled = "Request cancelled";
// How much of the failure's own text the log line quotes.
constexpr std::size_t kLoggedErrorBytes = 300;

bool is_digits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A digit string as a number, saturating far above any delay worth waiting.
std::int64_t digits_value(std::string_view text) {
    constexpr std::int64_t kCeiling = std::int64_t{1} << 40;
    std::int64_t value = 0;
    for (char c : text) {
        value = value * 10 + (c - '0');
        if (value > kCeiling) return kCeiling;
    }
    return value;
}

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

int month_number(std::string_view name) {
    static constexpr std::array<std::string_view, 12> kMonths = {"jan", "feb", "mar", "apr", "may", "jun",
                                                                 "jul", "aug", "sep", "oct", "nov", "dec"};
    if (name.size() != 3) return 0;
    const std::string lowered = ascii_lower(std::string(name));
    for (std::size_t i = 0; i < kMonths.size(); ++i) {
        if (lowered == kMonths[i]) return static_cast<int>(i) + 1;
    }
    return 0;
}

// Seconds since the epoch of an HTTP date in any of its three forms:
//   Sun, 06 Nov 1994 08:49:37 GMT    Sunday, 06-Nov-94 08:49:37 GMT    Sun Nov  6 08:49:37 1994
// All three are: a weekday, then a day, a month name, a year and a time in
// an order that only differs in where the year goes, so the date is read
// from its tokens by kind rather than by position.
std::optional<std::int64_t> parse_http_date(std::string_view text) {
    std::vector<std::string_view> tokens;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        const bool separator = i == text.size() || text[i] == ' ' || text[i] == ',' || text[i] == '-' ||
                               text[i] == '\t';
        if (!separator) continue;
        if (i > start) tokens.push_back(text.substr(start, i - start));
        start = i + 1;
    }
    if (tokens.size() < 5 || tokens.size() > 6) return std::nullopt;
    int month = 0;
    std::vector<std::string_view> numbers;
    std::string_view time;
    for (std::size_t i = 1; i < tokens.size(); ++i) {  // tokens[0] is the weekday
        const std::string_view token = tokens[i];
        if (is_digits(token)) {
            numbers.push_back(token);
        } else if (token.find(':') != std::string_view::npos) {
            if (!time.empty()) return std::nullopt;
            time = token;
        } else if (const int m = month_number(token); m != 0 && month == 0) {
            month = m;
        } else if (token != "GMT" && token != "UTC") {
            return std::nullopt;
        }
    }
    if (month == 0 || numbers.size() != 2 || time.size() != 8 || time[2] != ':' || time[5] != ':') return std::nullopt;
    const std::string_view hh = time.substr(0, 2), mm = time.substr(3, 2), ss = time.substr(6, 2);
    if (!is_digits(hh) || !is_digits(mm) || !is_digits(ss) || numbers[0].size() > 2) return std::nullopt;
    const std::int64_t day = digits_value(numbers[0]);
    std::int64_t year = digits_value(numbers[1]);
    if (numbers[1].size() == 2) {
        year += year < 70 ? 2000 : 1900;  // the two-digit years of the RFC 850 form
    } else if (numbers[1].size() != 4) {
        return std::nullopt;
    }
    const std::int64_t hour = digits_value(hh), minute = digits_value(mm), second = digits_value(ss);
    if (day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return std::nullopt;
    return days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 + hour * 3600 +
           minute * 60 + second;
}

double random_unit() {
    thread_local std::mt19937 engine{std::random_device{}()};
    return std::uniform_real_distribution<double>(0.0, 1.0)(engine);
}

// "1.2" for 1250 ms: tenths, written without the locale's decimal mark.
std::string seconds_text(milliseconds delay) {
    const long long tenths = (delay.count() + 50) / 100;
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
}

}  // namespace

RetrySettings retry_settings_from(const LLMConfig& config) {
    RetrySettings settings;
    settings.max_retries = std::max(0, config.max_retries);
    settings.base_delay_ms = std::max(0, config.retry_base_delay_ms);
    settings.max_delay_ms = std::max(0, config.retry_max_delay_ms);
    return settings;
}

bool is_retryable_status(int status) {
    switch (status) {
        case 408:
        case 429:
        case 500:
        case 502:
        case 503:
        case 504:
            return true;
        default:
            return false;
    }
}

RetryCause retry_cause(const HttpResponse& response, bool content_delivered) {
    if (content_delivered || response.error == kCancelled) return RetryCause::none;
    if (is_retryable_status(response.status_code)) return RetryCause::status;
    if (response.error.empty() || response.error == kTransportUnavailableError) return RetryCause::none;
    // A transport failure with no status (connect, send, or the wait for the
    // response headers), or a 2xx whose body broke off before its first byte.
    const bool no_status = response.status_code == 0;
    const bool empty_success = response.status_code >= 200 && response.status_code <= 299 && response.body.empty();
    return no_status || empty_success ? RetryCause::connection : RetryCause::none;
}

std::optional<milliseconds> parse_retry_after(std::string_view value, std::chrono::system_clock::time_point now) {
    const std::string trimmed = trim_space(value);
    if (trimmed.empty()) return std::nullopt;
    if (is_digits(trimmed)) return milliseconds(digits_value(trimmed) * 1000);
    const std::optional<std::int64_t> at = parse_http_date(trimmed);
    if (!at) return std::nullopt;
    const std::int64_t now_ms =
        std::chrono::duration_cast<milliseconds>(now.time_since_epoch()).count();
    return milliseconds(std::max<std::int64_t>(0, *at * 1000 - now_ms));
}

milliseconds backoff_delay(const RetrySettings& settings, int retry, double unit) {
    const double cap = std::max(0, settings.max_delay_ms);
    // 2^retry overflows nothing as a double; the cap bounds the product.
    const double exponential = std::max(0, settings.base_delay_ms) * std::pow(2.0, std::clamp(retry, 0, 62));
    const double capped = std::min(exponential, cap);
    const double jitter = 0.5 + 0.5 * std::clamp(unit, 0.0, 1.0);
    return milliseconds(static_cast<long long>(std::llround(capped * jitter)));
}

std::string retry_notice_text(const HttpResponse& response, RetryCause cause, milliseconds delay, int attempt,
                              int max_retries) {
    const std::string reason =
        cause == RetryCause::status ? "HTTP " + std::to_string(response.status_code) : std::string("connection failed");
    return "Model request failed (" + reason + "); retrying in " + seconds_text(delay) + " s (attempt " +
           std::to_string(attempt) + " of " + std::to_string(max_retries) + ")...";
}

HttpResponse RequestRetrier::run(const std::function<HttpResponse()>& attempt,
                                 const std::function<bool()>& content_delivered, const NoticeCallback& notice) {
    cancelled_.store(false);
    const RetrySettings settings = settings_;
    for (int retry = 0;; ++retry) {
        HttpResponse response = attempt();
        if (retry >= settings.max_retries) return response;
        const RetryCause cause = retry_cause(response, content_delivered && content_delivered());
        if (cause == RetryCause::none) return response;
        if (cancel_requested()) {
            response.error = kCancelled;
            return response;
        }

        milliseconds delay = backoff_delay(settings, retry, random_unit());
        if (auto header = response.headers.find("Retry-After"); header != response.headers.end()) {
            if (auto asked = parse_retry_after(header->second, std::chrono::system_clock::now())) {
                // The server may lengthen the wait, never shorten it: "0" or a
                // date in the past would otherwise retry at once, again and again.
                delay = std::max(delay, std::min(*asked, milliseconds(settings.max_delay_ms)));
            }
        }
        const std::string text = retry_notice_text(response, cause, delay, retry + 1, settings.max_retries);
        const std::string detail = response.error.empty() ? "HTTP " + std::to_string(response.status_code)
                                                          : shorten_utf8(response.error, kLoggedErrorBytes);
        log_line(LogLevel::WARNING, text + " Cause: " + detail);
        if (notice) notice(text);
        if (!wait(delay)) {
            response.error = kCancelled;
            return response;
        }
    }
}

void RequestRetrier::cancel() {
    {
        std::lock_guard lock(mutex_);
        cancelled_.store(true);
    }
    wake_.notify_all();
}

bool RequestRetrier::cancel_requested() const { return cancelled_.load(); }

bool RequestRetrier::wait(milliseconds delay) {
    std::unique_lock lock(mutex_);
    return !wake_.wait_for(lock, delay, [this] { return cancelled_.load(); });
}

}  // namespace vexa
