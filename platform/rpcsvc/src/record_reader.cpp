#include "record_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace ksrpc {

namespace {

// An unnamed file in dir: it never shows in the directory and goes with its descriptor.
int open_spool(const std::string &where) {
    std::string dir = where.empty() ? "/tmp" : where;
    int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
    // A file system without unnamed files: a named one, unlinked at once.
    std::string path = dir + "/ks-spool-XXXXXX";
    fd = mkostemp(path.data(), O_CLOEXEC);
    if (fd >= 0) unlink(path.c_str());
    return fd;
}

bool write_at(int fd, const char *p, std::size_t n, std::uint64_t off) {
    while (n > 0) {
        ssize_t w = pwrite(fd, p, n, off_t(off));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (w == 0) errno = ENOSPC;
            return false;
        }
        p += w;
        n -= std::size_t(w);
        off += std::uint64_t(w);
    }
    return true;
}

} // namespace

RecordReader::RecordReader(Options options) : opt_(std::move(options)) {
    opt_.read_size = std::max<std::size_t>(opt_.read_size, 64);
    opt_.spool_threshold = std::max<std::size_t>(opt_.spool_threshold, 1);
}

RecordReader::~RecordReader() {
    close_pipe();
    if (fd_ >= 0) close(fd_);
    let_go();
    std::free(buf_);
}

// Asks the gate for the file to hold `bytes`; a refusal cuts the record here.
bool RecordReader::hold(std::uint64_t bytes) {
    if (opt_.gate == nullptr) return true;
    gated_ = true;
    const int why = opt_.gate->hold(bytes);
    if (why == 0) return true;
    cut_here(why);
    return false;
}

void RecordReader::let_go() {
    if (!gated_) return;
    gated_ = false;
    opt_.gate->release();
}

void RecordReader::reserve(std::size_t want) {
    if (ps_ == end_ && rlen_ == 0) rs_ = ps_ = end_ = 0; // nothing held: start at the front
    if (cap_ - end_ >= want) return;
    // Close the gaps left by headers, dropped bytes and finished records first.
    if (rs_ > 0 || rs_ + rlen_ < ps_) {
        std::memmove(buf_, buf_ + rs_, rlen_);
        std::memmove(buf_ + rlen_, buf_ + ps_, end_ - ps_);
        end_ = rlen_ + (end_ - ps_);
        ps_ = rlen_;
        rs_ = 0;
    }
    if (cap_ - end_ >= want) return;
    std::size_t cap = std::max(end_ + want, cap_ * 2);
    void *p = std::realloc(buf_, cap); // large blocks move by remapping, not copying
    if (p == nullptr) throw std::bad_alloc();
    buf_ = static_cast<char *>(p);
    cap_ = cap;
}

char *RecordReader::room(std::size_t &len) {
    std::size_t want = opt_.read_size;
    if (in_fragment_ && fragment_left_ > want) want = std::min(fragment_left_, std::max(want, kLargeRead));
    reserve(want);
    len = cap_ - end_;
    return buf_ + end_;
}

RecordReader::Status RecordReader::feed(const char *data, std::size_t len) {
    while (len > 0) {
        std::size_t n = 0;
        char *at = room(n);
        n = std::min(n, len);
        std::memcpy(at, data, n);
        received(n);
        data += n;
        len -= n;
    }
    return parse();
}

ssize_t RecordReader::read_from(int sock, bool *filled) {
    // Only where parse() has nothing left to do and the bytes belong to the file.
    if (!no_splice_ && fd_ >= 0 && cut_ == 0 && !ready_ && in_fragment_ && fragment_left_ > 0 && ps_ == end_ &&
        queued_ == 0 && total_ < opt_.max_record) {
        ssize_t n = splice_in(sock, filled);
        if (n != kNotSpliced) return n;
    }
    std::size_t len = 0;
    char *at = room(len);
    // After a large fragment of a record in its file, only the next header: its body may be
    // large too, and then goes by splice.
    if (!no_splice_ && fd_ >= 0 && cut_ == 0 && !ready_ && !in_fragment_ && large_fragment_)
        len = std::min(len, sizeof header_ - header_have_);
    ssize_t n = recv(sock, at, len, MSG_DONTWAIT);
    if (n > 0) received(std::size_t(n));
    *filled = n > 0 && std::size_t(n) == len;
    return n;
}

// Socket to pipe to file: the bytes are copied once, in the kernel, instead of into memory and
// out again. kNotSpliced, having taken nothing, where the socket or the kernel cannot.
ssize_t RecordReader::splice_in(int sock, bool *filled) {
    if (pipe_[0] < 0) {
        if (pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
            pipe_[0] = pipe_[1] = -1;
            no_splice_ = true; // out of descriptors: this connection reads as before
            return kNotSpliced;
        }
        int size = fcntl(pipe_[1], F_SETPIPE_SZ, kPipeSize);
        if (size <= 0) size = fcntl(pipe_[1], F_GETPIPE_SZ);
        pipe_size_ = size > 0 ? std::size_t(size) : 4096;
    }
    std::size_t want = std::min<std::uint64_t>({fragment_left_, opt_.max_record - total_, pipe_size_});
    ssize_t n = splice(sock, nullptr, pipe_[1], nullptr, want, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    // Splicing only saves a copy: where the kernel cannot do it now (no support, no memory for
    // the pipe's pages), the connection reads through memory instead, and a fault of the socket
    // itself shows there as it would have here.
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        no_splice_ = true;
        close_pipe();
        return kNotSpliced;
    }
    if (n <= 0) return n;
    // The bytes have left the socket: every one of them goes to the file or is dropped, so that
    // the pipe is empty again.
    std::size_t left = std::size_t(n);
    if (cut_ == 0 && file_has_room(left)) hold(spooled_ + left);
    while (left > 0 && cut_ == 0) {
        if (!file_has_room(left)) {
            cut_here(ENOSPC);
            break;
        }
        loff_t off = loff_t(spooled_);
        ssize_t w = no_splice_ ? -1 : splice(pipe_[0], nullptr, fd_, &off, left, SPLICE_F_MOVE);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && !no_splice_) {
            // A file that takes no splice, or a kernel that cannot now: the rest goes through
            // memory, where a real fault of the file (a full file system) shows and cuts.
            no_splice_ = true;
            continue;
        }
        if (no_splice_) {
            char slice[16384];
            ssize_t r = read(pipe_[0], slice, std::min(sizeof slice, left));
            if (r <= 0 || !write_file(slice, std::size_t(r))) {
                cut_here(r > 0 && errno != 0 ? errno : EIO);
                break;
            }
            w = r;
        } else if (w <= 0) {
            cut_here(w < 0 ? errno : ENOSPC);
            break;
        }
        spooled_ += std::uint64_t(w);
        total_ += std::uint64_t(w);
        moved_ += std::uint64_t(w);
        left -= std::size_t(w);
    }
    if (left > 0) {
        char sink[4096];
        for (std::size_t r = left; r > 0;) {
            ssize_t d = read(pipe_[0], sink, std::min(sizeof sink, r));
            if (d < 0 && errno == EINTR) continue;
            if (d <= 0) break;
            r -= std::size_t(d);
        }
        moved_ += left;
    }
    if (no_splice_) close_pipe();
    *filled = std::size_t(n) == want;
    fragment_left_ -= std::size_t(n);
    if (fragment_left_ == 0) {
        in_fragment_ = false;
        if (last_fragment_) {
            finish();
            ready_ = true;
        }
    }
    return n;
}

void RecordReader::close_pipe() {
    for (int &end : pipe_) {
        if (end >= 0) close(end);
        end = -1;
    }
}

RecordReader::Status RecordReader::parse() {
    if (ready_) return Status::Ready;
    while (ps_ < end_) {
        if (!in_fragment_) {
            std::size_t take = std::min(end_ - ps_, sizeof header_ - header_have_);
            std::memcpy(header_ + header_have_, buf_ + ps_, take);
            header_have_ += take;
            ps_ += take;
            if (header_have_ < sizeof header_) break;
            header_have_ = 0;
            begun_ = true;
            std::uint32_t word = (std::uint32_t(header_[0]) << 24) | (std::uint32_t(header_[1]) << 16) |
                                 (std::uint32_t(header_[2]) << 8) | std::uint32_t(header_[3]);
            last_fragment_ = (word & 0x80000000u) != 0;
            fragment_left_ = word & 0x7fffffffu;
            large_fragment_ = fragment_left_ >= kLargeFragment;
            in_fragment_ = true;
        }
        std::size_t take = std::min(end_ - ps_, fragment_left_);
        if (take > 0) {
            // Bytes past the bound are dropped; the head of the record stays.
            std::size_t keep = 0;
            if (cut_ == 0) {
                keep = std::size_t(std::min<std::uint64_t>(take, opt_.max_record - total_));
                if (keep < take) cut_here(EFBIG);
            }
            if (cut_ != 0 && fd_ >= 0) keep = 0; // the file holds the head already
            if (keep > 0 && fd_ >= 0) {
                // Once the record is in its file, its bytes go there from where they were read.
                queue_write(buf_ + ps_, keep);
                total_ += keep;
                keep = take; // nothing of it stays in memory
                moved_ += take;
            } else if (keep > 0) {
                if (ps_ != rs_ + rlen_) std::memmove(buf_ + rs_ + rlen_, buf_ + ps_, keep);
                rlen_ += keep;
                total_ += keep;
            }
            moved_ += take - keep;
            ps_ += take;
            fragment_left_ -= take;
            if (rlen_ >= opt_.spool_threshold && cut_ == 0 && fd_ < 0) spill();
        }
        if (fragment_left_ == 0) {
            in_fragment_ = false;
            if (last_fragment_) {
                write_queued();
                finish();
                ready_ = true;
                return Status::Ready;
            }
        }
    }
    write_queued();
    return Status::NeedMore;
}

void RecordReader::queue_write(const char *p, std::size_t n) {
    if (queued_ == kQueuedWrites) write_queued();
    writes_[queued_++] = iovec{const_cast<char *>(p), n};
}

// Writes what parse() found for the file, in one call where it can.
void RecordReader::write_queued() {
    std::size_t i = 0;
    std::uint64_t total = 0;
    for (std::size_t k = 0; k < queued_; ++k) total += writes_[k].iov_len;
    if (queued_ > 0 && cut_ == 0 && !file_has_room(total)) cut_here(ENOSPC);
    if (queued_ > 0 && cut_ == 0) hold(spooled_ + total);
    while (i < queued_ && cut_ == 0) {
        ssize_t w = pwritev(fd_, writes_ + i, int(queued_ - i), off_t(spooled_));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            cut_here(w < 0 ? errno : ENOSPC);
            break;
        }
        spooled_ += std::uint64_t(w);
        for (std::size_t left = std::size_t(w); left > 0;) {
            if (writes_[i].iov_len <= left) {
                left -= writes_[i++].iov_len;
            } else {
                writes_[i].iov_base = static_cast<char *>(writes_[i].iov_base) + left;
                writes_[i].iov_len -= left;
                left = 0;
            }
        }
    }
    queued_ = 0;
}

// Moves the record's bytes in memory to its file.
void RecordReader::spill() {
    if (fd_ < 0 && opt_.gate != nullptr) {
        // Refused before the file is made: the head stays in memory, to answer the call from.
        if (const int why = opt_.gate->admit(buf_ + rs_, rlen_); why != 0) {
            cut_here(why);
            return;
        }
    }
    if (!hold(spooled_ + rlen_)) return;
    if (fd_ < 0) {
        fd_ = open_spool(opt_.spool_dir);
        if (fd_ < 0) {
            cut_here(errno != 0 ? errno : EIO);
            return;
        }
    }
    if (!write_file(buf_ + rs_, rlen_)) {
        const int why = errno != 0 ? errno : EIO;
        if (spooled_ == 0) {
            // The file holds nothing of the record: it goes, and the record's head stays in
            // memory, so that its call can still be answered.
            close_pipe();
            close(fd_);
            fd_ = -1;
        }
        cut_here(why);
        return;
    }
    spooled_ += rlen_;
    moved_ += rlen_;
    rlen_ = 0;
    rs_ = ps_; // the record's next bytes stay where they were read
}

bool RecordReader::write_file(const char *p, std::size_t n) {
    if (file_has_room(n)) return write_at(fd_, p, n, spooled_);
    const std::uint64_t room = opt_.spool_room > spooled_ ? opt_.spool_room - spooled_ : 0;
    if (room > 0 && !write_at(fd_, p, std::size_t(room), spooled_)) return false;
    errno = ENOSPC;
    return false;
}

// From here on the record's bytes are dropped. What stays is its head: at most a threshold of
// the file, or what memory holds.
void RecordReader::cut_here(int why) {
    cut_ = why;
    if (fd_ < 0) {
        // Nothing on disk, but the owner stays until the record goes: its refusal answers the call.
        if (gated_) opt_.gate->hold(0);
        return;
    }
    std::uint64_t keep = std::min<std::uint64_t>(spooled_, opt_.spool_threshold);
    if (ftruncate(fd_, off_t(keep)) == 0) spooled_ = keep;
    if (gated_) opt_.gate->hold(spooled_); // fewer bytes: never refused
    moved_ += rlen_;
    rlen_ = 0;
}

void RecordReader::finish() {
    if (fd_ >= 0 && cut_ == 0 && rlen_ > 0) spill();
    if (fd_ >= 0) {
        moved_ += rlen_;
        rlen_ = 0;
    }
}

void RecordReader::next() {
    close_pipe();
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    let_go();
    spooled_ = 0;
    cut_ = 0;
    total_ = 0;
    moved_ = 0;
    rs_ = ps_;
    rlen_ = 0;
    ready_ = false;
    begun_ = false;
    last_fragment_ = false;
    large_fragment_ = false;
    if (ps_ == end_) rs_ = ps_ = end_ = 0;
    // A connection that once sent a huge record does not keep its buffer.
    if (cap_ > kKeptCapacity && end_ - ps_ <= kKeptCapacity / 2) {
        std::size_t keep = end_ - ps_;
        std::size_t cap = std::max(keep, opt_.read_size);
        char *p = static_cast<char *>(std::malloc(cap));
        if (p == nullptr) return; // keeps the large one
        std::memcpy(p, buf_ + ps_, keep);
        std::free(buf_);
        buf_ = p;
        cap_ = cap;
        rs_ = ps_ = 0;
        end_ = keep;
    }
}

} // namespace ksrpc
