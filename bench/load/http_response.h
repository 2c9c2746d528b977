#pragma once
// An HTTP/1.1 answer read as it arrives: status, Content-Length, the start of
// the body, and whether it is complete (by length, or at the end of the stream).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class HttpResponse {
  public:
    static constexpr size_t kMaxHead = 16 * 1024;
    static constexpr size_t kKeptBody = 4096;

    // False once the head is malformed or too long; the answer is then unusable.
    bool feed(std::string_view data);
    void on_end_of_stream() { ended_ = true; }

    bool head_done() const { return head_done_; }
    bool complete() const;
    int status() const { return status_; }
    std::optional<uint64_t> content_length() const { return content_length_; }
    uint64_t body_bytes() const { return body_bytes_; }
    // The first kKeptBody bytes of the body.
    const std::string& body_start() const { return body_start_; }

  private:
    bool parse_head();
    void take_body(std::string_view data);

    std::string head_;
    std::string body_start_;
    bool head_done_ = false;
    bool broken_ = false;
    bool ended_ = false;
    int status_ = 0;
    std::optional<uint64_t> content_length_;
    uint64_t body_bytes_ = 0;
};
