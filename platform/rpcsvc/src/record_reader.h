// Reassembles ONC RPC call records (record marking over a byte stream) from bytes as they
// arrive, without ever waiting for more. Reads go straight into the reader's buffer, where a
// record's bytes stay: fragment headers are squeezed out in place and the buffer grows
// geometrically. A record past the spool threshold goes on in an unnamed file, so memory holds at
// most about a threshold and a read of it; the bodies of its fragments then go from the socket to
// the file through a pipe, without a copy in user space; a gate may refuse it the file, or further
// bytes there, which cuts it as well. A record past its bound is cut: its head
// stays, the rest is read and dropped, so that the call can still be answered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <sys/types.h>
#include <sys/uio.h>

namespace ksrpc {

// Lets a record go on to disk or not, and holds its file's bytes against their bounds.
class SpoolGate {
public:
    virtual ~SpoolGate() = default;
    // The record's first len bytes, about to go to a file: 0 lets them, else why not (an errno value).
    virtual int admit(const char *head, std::size_t len) = 0;
    // The record's file is to hold `bytes` in all: 0, or why not (what was held stays held).
    virtual int hold(std::uint64_t bytes) = 0;
    // The record's file has gone (or never came).
    virtual void release() = 0;
};

class RecordReader {
public:
    enum class Status { NeedMore, Ready };

    struct Options {
        std::uint64_t max_record = 0;           // bytes of a record past which it is cut
        std::size_t spool_threshold = SIZE_MAX; // record bytes in memory past which they go to a file
        std::string spool_dir;                  // where that file is made; empty: /tmp
        std::size_t read_size = 8192;           // the room a read gets at least
        // Bytes a spool file takes before its writes fail with ENOSPC, as on a full file system (tests).
        std::uint64_t spool_room = UINT64_MAX;
        // Asked before a record goes to a file and for each of its bytes there; none: always yes.
        SpoolGate *gate = nullptr;
    };

    explicit RecordReader(Options options);
    ~RecordReader();
    RecordReader(const RecordReader &) = delete;
    RecordReader &operator=(const RecordReader &) = delete;

    // Room for the next read at the end of the buffer (len > 0). Throws std::bad_alloc.
    char *room(std::size_t &len);
    // n bytes were read into room(); parse() takes them.
    void received(std::size_t n) { end_ += n; }
    // Parses the buffered bytes up to the end of the next record. After Ready, call next()
    // before parsing again; bytes past the record stay buffered for the next one.
    Status parse();
    // Copies bytes into the buffer and parses (bytes that did not come from a read into room()).
    Status feed(const char *data, std::size_t len);
    // One read from the stream socket sock, as recv(2) with MSG_DONTWAIT answers it (bytes taken,
    // 0 at its end, -1 and errno). Into room(), or straight into the record's file while the
    // record is in its file. *filled: the read took all it asked for, so the socket may hold more.
    // Throws std::bad_alloc.
    ssize_t read_from(int sock, bool *filled);

    // The finished record: in memory at data() unless spool_fd() >= 0, where it fills the file.
    const char *data() const { return buf_ + rs_; }
    std::uint64_t size() const { return fd_ >= 0 ? spooled_ : rlen_; }
    int spool_fd() const { return fd_; }
    // 0, or why the record as kept ends early: EFBIG when it passed its bound, else the error
    // of its spool file.
    int cut() const { return cut_; }

    // Drops the finished record (and its file); keeps the bytes after it.
    void next();
    // As next(), but hands the record's file to the caller to close (-1 for a record in memory).
    int next_keeping_file() {
        int fd = fd_;
        fd_ = -1;
        next();
        return fd;
    }

    // Bytes held in memory: of the current record and not yet parsed.
    std::size_t pending() const { return rlen_ + (end_ - ps_); }
    // Bytes read and not yet parsed.
    bool buffered() const { return ps_ < end_; }
    // True from the first byte of a record until it is complete.
    bool started() const { return !ready_ && (header_have_ > 0 || begun_); }
    // Bytes of the current record written to its file or dropped so far.
    std::uint64_t moved_out() const { return moved_; }

    static constexpr std::size_t kKeptCapacity = 1024 * 1024; // a larger buffer goes after its record
    static constexpr std::size_t kLargeRead = 256 * 1024;     // the room of a read into a large fragment
    static constexpr int kPipeSize = int(kLargeRead);         // a read into the file: as large as into memory
    static constexpr std::size_t kLargeFragment = 64 * 1024;  // after one, a read takes the next header only

private:
    void spill();
    bool hold(std::uint64_t bytes);
    void let_go();
    bool write_file(const char *p, std::size_t n);
    bool file_has_room(std::uint64_t n) const { return n <= opt_.spool_room && spooled_ <= opt_.spool_room - n; }
    void cut_here(int why);
    void finish();
    void reserve(std::size_t want);
    void queue_write(const char *p, std::size_t n);
    void write_queued();
    static constexpr ssize_t kNotSpliced = -2;
    ssize_t splice_in(int sock, bool *filled);
    void close_pipe();

    Options opt_;
    char *buf_ = nullptr;
    std::size_t cap_ = 0;
    // The record's bytes kept in memory are [rs_, rs_ + rlen_); [ps_, end_) is read and not
    // yet parsed; rs_ + rlen_ <= ps_.
    std::size_t rs_ = 0, rlen_ = 0, ps_ = 0, end_ = 0;
    unsigned char header_[4] = {};
    std::size_t header_have_ = 0;
    std::size_t fragment_left_ = 0;
    bool in_fragment_ = false;
    bool last_fragment_ = false;
    bool begun_ = false;
    bool ready_ = false;
    std::uint64_t total_ = 0; // bytes of the record counted against its bound
    std::uint64_t moved_ = 0;
    int fd_ = -1;
    std::uint64_t spooled_ = 0; // bytes of the record in the file
    int cut_ = 0;
    bool gated_ = false; // the gate was asked for this record's file
    static constexpr std::size_t kQueuedWrites = 64;
    iovec writes_[kQueuedWrites]; // bytes of one parse() for the file
    std::size_t queued_ = 0;
    int pipe_[2] = {-1, -1}; // empty between reads; made for a record in its file, gone with it
    std::size_t pipe_size_ = 0;
    bool no_splice_ = false;      // the socket or the file cannot splice: reads go through memory
    bool large_fragment_ = false; // the last fragment begun was at least kLargeFragment
};

} // namespace ksrpc
