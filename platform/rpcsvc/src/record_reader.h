// Reassembles ONC RPC call records (record marking over a byte stream) from bytes as they
// arrive, without ever waiting for more, and refuses records over a size bound before
// buffering them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ksrpc {

class RecordReader {
public:
    enum class Status { NeedMore, Ready, TooLarge };

    explicit RecordReader(std::size_t max_record) : max_record_(max_record) {}

    // Takes bytes of the stream. Consumes nothing past the end of a finished record, so the
    // caller keeps the rest for the next one. After Ready, call next() before feeding again;
    // after TooLarge the stream is beyond repair.
    Status feed(const char* data, std::size_t len, std::size_t& consumed);

    const char* data() const { return record_.data(); }
    std::size_t size() const { return record_.size(); }

    // Drops the finished record; keeps the buffer for the next one.
    void next();

    // Bytes of the current record received so far (headers excluded).
    std::size_t pending() const { return record_.size(); }

    // True from the first byte of a record until it is complete.
    bool started() const { return !ready_ && (header_have_ > 0 || in_fragment_ || !record_.empty()); }

    static constexpr std::size_t kKeptCapacity = 1024 * 1024;

private:
    std::size_t max_record_;
    std::vector<char> record_;
    unsigned char header_[4] = {};
    std::size_t header_have_ = 0;
    std::size_t fragment_left_ = 0;
    bool in_fragment_ = false;
    bool last_fragment_ = false;
    bool ready_ = false;
    bool broken_ = false;
};

}  // namespace ksrpc
