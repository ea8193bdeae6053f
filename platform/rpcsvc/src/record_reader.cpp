#include "record_reader.h"

#include <algorithm>
#include <cstring>

namespace ksrpc {

RecordReader::Status RecordReader::feed(const char* data, std::size_t len, std::size_t& consumed)
{
    consumed = 0;
    if (broken_)
        return Status::TooLarge;
    if (ready_)
        return Status::Ready;
    while (consumed < len) {
        if (!in_fragment_) {
            std::size_t take = std::min(len - consumed, sizeof header_ - header_have_);
            std::memcpy(header_ + header_have_, data + consumed, take);
            header_have_ += take;
            consumed += take;
            if (header_have_ < sizeof header_)
                return Status::NeedMore;
            header_have_ = 0;
            std::uint32_t word = (std::uint32_t(header_[0]) << 24) | (std::uint32_t(header_[1]) << 16) |
                                 (std::uint32_t(header_[2]) << 8) | std::uint32_t(header_[3]);
            last_fragment_ = (word & 0x80000000u) != 0;
            fragment_left_ = word & 0x7fffffffu;
            // Checked against what the header announces, before a byte of it is buffered.
            if (fragment_left_ > max_record_ - record_.size()) {
                broken_ = true;
                return Status::TooLarge;
            }
            in_fragment_ = true;
        }
        std::size_t take = std::min(len - consumed, fragment_left_);
        if (take > 0) {
            record_.insert(record_.end(), data + consumed, data + consumed + take);
            consumed += take;
            fragment_left_ -= take;
        }
        if (fragment_left_ == 0) {
            in_fragment_ = false;
            if (last_fragment_) {
                ready_ = true;
                return Status::Ready;
            }
        }
    }
    return Status::NeedMore;
}

void RecordReader::next()
{
    // A connection that once sent a huge record does not keep its buffer.
    if (record_.capacity() > kKeptCapacity)
        std::vector<char>().swap(record_);
    record_.clear();
    ready_ = false;
    last_fragment_ = false;
}

}  // namespace ksrpc
