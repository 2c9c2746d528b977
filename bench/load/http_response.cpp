#include "bench/load/http_response.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace {

bool same_name(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

template <typename Number>
bool whole_number(std::string_view text, Number& out) {
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return !text.empty() && ec == std::errc{} && ptr == end;
}

}  // namespace

bool HttpResponse::feed(std::string_view data) {
    if (broken_) {
        return false;
    }
    if (head_done_) {
        take_body(data);
        return true;
    }
    const size_t old = head_.size();
    head_.append(data);
    // The end of the head may straddle two chunks.
    const size_t from = old >= 3 ? old - 3 : 0;
    const size_t end = head_.find("\r\n\r\n", from);
    if (end == std::string::npos) {
        broken_ = head_.size() > kMaxHead;
        return !broken_;
    }
    std::string rest = head_.substr(end + 4);
    head_.resize(end + 2);
    head_done_ = true;
    broken_ = !parse_head();
    if (!broken_) {
        take_body(rest);
    }
    return !broken_;
}

bool HttpResponse::parse_head() {
    std::string_view head = head_;
    const size_t line_end = head.find("\r\n");
    std::string_view status_line = head.substr(0, line_end);
    if (status_line.substr(0, 5) != "HTTP/") {
        return false;
    }
    const size_t blank = status_line.find(' ');
    if (blank == std::string_view::npos) {
        return false;
    }
    std::string_view code = status_line.substr(blank + 1, 3);
    int status = 0;
    if (!whole_number(code, status) || status < 100 || status > 599) {
        return false;
    }
    status_ = status;
    head.remove_prefix(line_end + 2);
    while (!head.empty()) {
        const size_t next = head.find("\r\n");
        std::string_view line = head.substr(0, next);
        head.remove_prefix(next + 2);
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            return false;
        }
        if (same_name(trimmed(line.substr(0, colon)), "content-length")) {
            uint64_t length = 0;
            if (!whole_number(trimmed(line.substr(colon + 1)), length)) {
                return false;
            }
            content_length_ = length;
        }
    }
    return true;
}

void HttpResponse::take_body(std::string_view data) {
    body_bytes_ += data.size();
    if (body_start_.size() < kKeptBody) {
        body_start_.append(data.substr(0, kKeptBody - body_start_.size()));
    }
}

bool HttpResponse::complete() const {
    if (!head_done_ || broken_) {
        return false;
    }
    return content_length_ ? body_bytes_ >= *content_length_ : ended_;
}
