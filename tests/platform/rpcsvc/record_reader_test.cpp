// Reassembly of call records from arbitrary cuts of the byte stream, their spool files and the
// stream that decodes them.
#include "../../../platform/rpcsvc/src/args_stream.h"
#include "../../../platform/rpcsvc/src/byte_buffer.h"
#include "../../../platform/rpcsvc/src/record_reader.h"
#include "ks_rpcsvc.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

using ksrpc::ArgsStream;
using ksrpc::ByteBuffer;
using ksrpc::RecordReader;
using Status = RecordReader::Status;

namespace {

std::string header(std::uint32_t len, bool last) {
    std::uint32_t w = len | (last ? 0x80000000u : 0u);
    return {char(w >> 24), char(w >> 16), char(w >> 8), char(w)};
}

RecordReader::Options options(std::uint64_t max_record, std::size_t threshold = SIZE_MAX, std::string dir = "") {
    RecordReader::Options o;
    o.max_record = max_record;
    o.spool_threshold = threshold;
    o.spool_dir = std::move(dir);
    return o;
}

// The record in pieces of at most `piece` bytes, every one but the last not last.
std::string fragmented(const std::string &record, std::size_t piece) {
    std::string out;
    for (std::size_t at = 0; at < record.size() || at == 0; at += piece) {
        std::size_t n = std::min(piece, record.size() - at);
        out += header(std::uint32_t(n), at + n >= record.size()) + record.substr(at, n);
        if (record.empty()) break;
    }
    return out;
}

std::string pattern(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = char(i * 131 % 251);
    return s;
}

std::string file_bytes(int fd, std::uint64_t n) {
    std::string s(n, '\0');
    EXPECT_EQ(pread(fd, s.data(), n, 0), ssize_t(n));
    return s;
}

struct TempDir {
    std::string path;
    TempDir() {
        std::string p = (std::filesystem::temp_directory_path() / "ks-reader-XXXXXX").string();
        path = mkdtemp(p.data()) != nullptr ? p : "";
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    bool empty() const { return std::filesystem::is_empty(path); }
};

} // namespace

TEST(RecordReader, OneByteAtATimeAcrossFragmentsAndRecords) {
    std::string stream = header(3, false) + "abc" + header(0, false) + header(2, true) + "de" + header(1, true) + "f";
    RecordReader r(options(100));
    std::vector<std::string> got;
    for (char ch : stream) {
        if (r.feed(&ch, 1) == Status::Ready) {
            got.emplace_back(r.data(), r.size());
            r.next();
        }
    }
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], "abcde");
    EXPECT_EQ(got[1], "f");
    EXPECT_FALSE(r.started());
    EXPECT_EQ(r.pending(), 0u);
}

TEST(RecordReader, StopsAtTheEndOfARecordAndKeepsTheRest) {
    std::string stream = header(2, true) + "xy" + header(1, true) + "z" + header(4, false);
    RecordReader r(options(100));
    ASSERT_EQ(r.feed(stream.data(), stream.size()), Status::Ready);
    EXPECT_EQ(std::string(r.data(), r.size()), "xy");
    EXPECT_TRUE(r.buffered());
    EXPECT_EQ(r.parse(), Status::Ready); // until next(), the same record
    r.next();
    ASSERT_EQ(r.parse(), Status::Ready);
    EXPECT_EQ(std::string(r.data(), r.size()), "z");
    r.next();
    EXPECT_EQ(r.parse(), Status::NeedMore);
    EXPECT_TRUE(r.started()); // a header alone begins a record
}

TEST(RecordReader, ARecordPastItsBoundIsCutAndReadToItsEnd) {
    struct Case {
        std::string stream;
        std::string kept;
        int cut;
    } cases[] = {
        {header(5, false) + "12345" + header(3, true) + "678", "12345678", 0},
        {header(5, false) + "12345" + header(4, true) + "6789", "12345678", EFBIG},
        {header(12, true) + "abcdefghijkl", "abcdefgh", EFBIG},
    };
    for (const Case &c : cases) {
        RecordReader r(options(8));
        std::string stream = c.stream + header(1, true) + "n";
        ASSERT_EQ(r.feed(stream.data(), stream.size()), Status::Ready);
        EXPECT_EQ(std::string(r.data(), r.size()), c.kept);
        EXPECT_EQ(r.cut(), c.cut);
        r.next();
        ASSERT_EQ(r.parse(), Status::Ready); // the stream goes on after it
        EXPECT_EQ(std::string(r.data(), r.size()), "n");
        EXPECT_EQ(r.cut(), 0);
    }
    // A huge fragment holds no more than the bound in memory while it is dropped.
    RecordReader r(options(8));
    std::string s = header(0x7fffffffu, true) + std::string(4096, 'q');
    EXPECT_EQ(r.feed(s.data(), s.size()), Status::NeedMore);
    EXPECT_EQ(r.pending(), 8u);
    EXPECT_EQ(r.moved_out(), 4096u - 8u);
}

TEST(RecordReader, ReadsGoIntoTheRecordsPlaceAndGrowForLargeFragments) {
    std::string record = pattern(3 << 20);
    std::string stream = header(std::uint32_t(record.size()), true) + record;
    RecordReader r(options(16 << 20));
    std::size_t at = 0, reads = 0;
    Status st = Status::NeedMore;
    while (st == Status::NeedMore && at < stream.size()) {
        std::size_t len = 0;
        char *to = r.room(len);
        if (at > 0) { // once the header announced a large fragment, reads are large
            EXPECT_GE(len, RecordReader::kLargeRead);
        }
        len = std::min(len, stream.size() - at);
        std::memcpy(to, stream.data() + at, len);
        r.received(len);
        at += len;
        ++reads;
        st = r.parse();
    }
    ASSERT_EQ(st, Status::Ready);
    EXPECT_LE(reads, 1 + record.size() / RecordReader::kLargeRead + 1);
    EXPECT_EQ(std::string(r.data(), r.size()), record);
    r.next(); // the large buffer goes; a small record still fits
    std::string small = header(1, true) + "k";
    ASSERT_EQ(r.feed(small.data(), small.size()), Status::Ready);
    EXPECT_EQ(std::string(r.data(), r.size()), "k");
}

TEST(RecordReader, ARecordPastTheThresholdGoesToAnUnnamedFile) {
    TempDir dir;
    std::string record = pattern(1000);
    std::string stream = fragmented(record, 7) + header(2, true) + "ok";
    RecordReader r(options(1 << 20, 64, dir.path));
    ASSERT_EQ(r.feed(stream.data(), stream.size()), Status::Ready);
    ASSERT_GE(r.spool_fd(), 0);
    EXPECT_LT(r.pending(), 64u + stream.size() - record.size());
    EXPECT_EQ(r.size(), record.size());
    EXPECT_EQ(file_bytes(r.spool_fd(), r.size()), record);
    EXPECT_TRUE(dir.empty()); // never named
    EXPECT_EQ(r.cut(), 0);
    int const kept = r.next_keeping_file(); // the caller's to close, still whole
    ASSERT_GE(kept, 0);
    EXPECT_EQ(file_bytes(kept, record.size()), record);
    EXPECT_EQ(close(kept), 0);
    EXPECT_EQ(r.spool_fd(), -1);
    ASSERT_EQ(r.parse(), Status::Ready);
    EXPECT_EQ(std::string(r.data(), r.size()), "ok");
}

TEST(RecordReader, ASpooledRecordPastItsBoundKeepsItsHeadOnly) {
    TempDir dir;
    std::string record = pattern(1000);
    std::string stream = fragmented(record, 100);
    RecordReader r(options(500, 64, dir.path));
    ASSERT_EQ(r.feed(stream.data(), stream.size()), Status::Ready);
    EXPECT_EQ(r.cut(), EFBIG);
    ASSERT_GE(r.spool_fd(), 0);
    ASSERT_EQ(r.size(), 64u);
    EXPECT_EQ(file_bytes(r.spool_fd(), 64), record.substr(0, 64));
}

TEST(RecordReader, ASpoolThatCannotBeMadeCutsTheRecord) {
    std::string record = pattern(300);
    std::string stream = fragmented(record, 50);
    RecordReader r(options(1000, 64, "/nonexistent-ks-spool"));
    ASSERT_EQ(r.feed(stream.data(), stream.size()), Status::Ready);
    EXPECT_EQ(r.cut(), ENOENT);
    EXPECT_EQ(r.spool_fd(), -1);
    ASSERT_GE(r.size(), 64u);
    EXPECT_LT(r.size(), record.size());
    EXPECT_EQ(std::string(r.data(), r.size()), record.substr(0, r.size()));
}

// A gate that admits or not and holds up to a bound, recording what it was asked.
class TestGate : public ksrpc::SpoolGate {
public:
    TestGate(bool admit, std::uint64_t most) : admit_(admit), most_(most) {}
    int admit(const char *head, std::size_t len) override {
        head_ = std::string(head, len);
        return admit_ ? 0 : EACCES;
    }
    int hold(std::uint64_t bytes) override {
        if (bytes > most_) return EDQUOT;
        held_ = bytes;
        return 0;
    }
    void release() override {
        held_ = 0;
        ++released_;
    }
    bool admit_;
    std::uint64_t most_, held_ = 0;
    int released_ = 0;
    std::string head_;
};

TEST(RecordReader, AGateRefusesARecordItsFileOrItsFurtherBytes) {
    struct Case {
        bool admit;
        std::uint64_t most; // bytes the gate holds at most
        int cut;
        bool in_file; // the head stays in the file
    } const cases[] = {
        {true, 1000, 0, true}, {false, 1000, EACCES, false}, {true, 10, EDQUOT, false}, {true, 300, EDQUOT, true}};
    std::string record = pattern(1000);
    std::string stream = fragmented(record, 7) + header(2, true) + "ok";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.most);
        TempDir dir;
        TestGate gate(c.admit, c.most);
        RecordReader::Options o = options(1 << 20, 64, dir.path);
        o.gate = &gate;
        RecordReader r(o);
        ASSERT_EQ(r.feed(stream.data(), stream.size()), Status::Ready);
        EXPECT_EQ(gate.head_, record.substr(0, gate.head_.size()));
        EXPECT_GE(gate.head_.size(), 64u);
        EXPECT_EQ(r.cut(), c.cut);
        EXPECT_EQ(r.spool_fd() >= 0, c.in_file);
        // The gate holds exactly what the file holds; a refused record keeps its head to answer from.
        EXPECT_EQ(gate.held_, c.in_file ? r.size() : 0u);
        ASSERT_GE(r.size(), 64u);
        if (c.in_file) {
            EXPECT_EQ(file_bytes(r.spool_fd(), r.size()), record.substr(0, r.size()));
        } else {
            EXPECT_EQ(std::string(r.data(), r.size()), record.substr(0, r.size()));
            EXPECT_LT(r.size(), record.size());
        }
        EXPECT_EQ(r.size() == record.size(), c.cut == 0);
        EXPECT_EQ(gate.released_, 0); // the owner answers the call: kept until the record goes
        r.next();
        EXPECT_EQ(gate.held_, 0u);
        EXPECT_EQ(gate.released_, c.admit ? 1 : 0); // once, and only what it admitted
        ASSERT_EQ(r.parse(), Status::Ready);
        EXPECT_EQ(std::string(r.data(), r.size()), "ok");
    }
}

TEST(RecordReader, ASpoolFileThatRunsOutOfRoomKeepsTheHeadOfTheRecord) {
    struct Case {
        std::uint64_t room; // bytes the file takes before ENOSPC
        bool in_file;       // the head stays in the file (the first spill fit)
    } const cases[] = {{0, false}, {40, false}, {100, true}, {500, true}};
    std::string record = pattern(1000);
    std::string stream = fragmented(record, 7) + header(2, true) + "ok";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.room);
        TempDir dir;
        RecordReader::Options o = options(1 << 20, 64, dir.path);
        o.spool_room = c.room;
        RecordReader r(o);
        ASSERT_EQ(r.feed(stream.data(), stream.size()), Status::Ready);
        EXPECT_EQ(r.cut(), ENOSPC);
        EXPECT_EQ(r.spool_fd() >= 0, c.in_file);
        ASSERT_GE(r.size(), 64u); // a call header and more
        ASSERT_LT(r.size(), record.size());
        std::string head = c.in_file ? file_bytes(r.spool_fd(), r.size()) : std::string(r.data(), r.size());
        EXPECT_EQ(head, record.substr(0, r.size()));
        EXPECT_LT(r.pending(), 2 * 64u + 16u); // the rest was dropped, not held
        r.next();
        ASSERT_EQ(r.parse(), Status::Ready); // in step: the next record follows
        EXPECT_EQ(std::string(r.data(), r.size()), "ok");
        EXPECT_EQ(r.cut(), 0);
    }
}

namespace {

// A connected loopback TCP pair, the receiving end non-blocking as the runtime's connections are.
struct TcpPair {
    int sender = -1, receiver = -1;
    TcpPair() {
        int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 && listen(listener, 1) == 0 &&
            getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len) == 0) {
            sender = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (connect(sender, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0)
                receiver = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        }
        close(listener);
    }
    ~TcpPair() {
        for (int fd : {sender, receiver})
            if (fd >= 0) close(fd);
    }
};

// Reads records from the socket as the runtime does, until `records` are whole.
std::vector<std::string> read_records(RecordReader &r, int sock, std::size_t records, std::vector<int> *cuts) {
    std::vector<std::string> got;
    while (got.size() < records) {
        if (r.parse() == Status::Ready) {
            got.push_back(r.spool_fd() >= 0 ? file_bytes(r.spool_fd(), r.size()) : std::string(r.data(), r.size()));
            cuts->push_back(r.cut());
            r.next();
            continue;
        }
        bool filled = false;
        ssize_t n = r.read_from(sock, &filled);
        if (n == 0) break;
        if (n < 0) {
            EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK) << std::strerror(errno);
            pollfd p{sock, POLLIN, 0};
            poll(&p, 1, 1000);
        }
    }
    return got;
}

} // namespace

TEST(RecordReader, LargeFragmentsGoFromTheSocketToTheFileWhole) {
    TempDir dir;
    // Fragments large and small, a header split across reads, a record in memory after it, and a
    // spooled record past its bound.
    std::string big = pattern(3 << 19) + "tail";
    std::string stream = header(100, false) + big.substr(0, 100) + header(1 << 20, false) + big.substr(100, 1 << 20) +
                         header(3, false) + big.substr(100 + (1 << 20), 3) +
                         header(std::uint32_t(big.size() - 103 - (1 << 20)), true) + big.substr(103 + (1 << 20)) +
                         header(5, true) + "small" + header(1200000, false) + pattern(1200000) + header(1200000, true) +
                         pattern(1200000) + header(2, true) + "ok";
    TcpPair tcp;
    ASSERT_GE(tcp.receiver, 0);
    std::thread writer([&] {
        for (std::size_t at = 0; at < stream.size();) {
            ssize_t n = write(tcp.sender, stream.data() + at, std::min<std::size_t>(stream.size() - at, 70001));
            if (n <= 0) return;
            at += std::size_t(n);
        }
    });
    RecordReader r(options(2 << 20, 64 << 10, dir.path));
    r.next(); // no record yet: changes nothing
    std::vector<int> cuts;
    std::vector<std::string> got = read_records(r, tcp.receiver, 4, &cuts);
    writer.join();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0], big);
    EXPECT_EQ(got[1], "small");
    EXPECT_EQ(got[2], pattern(64 << 10)); // past its bound: its head only
    EXPECT_EQ(got[3], "ok");
    EXPECT_EQ(cuts, (std::vector<int>{0, 0, EFBIG, 0}));
    EXPECT_TRUE(dir.empty());
}

// Values written by libtirpc's memory stream read back the same from a file and from memory.
TEST(ArgsStream, DecodesFromMemoryAndFromTheSpoolFileAlike) {
    std::vector<char> bytes(1 << 20);
    XDR enc;
    xdrmem_create(&enc, bytes.data(), u_int(bytes.size()), XDR_ENCODE);
    int neg = -7;
    u_int big = 0xfffffff0u;
    std::string blob = pattern(300 * 1024), small = pattern(5);
    char *text = const_cast<char *>("chunked");
    ASSERT_TRUE(xdr_int(&enc, &neg) && xdr_u_int(&enc, &big) && xdr_string(&enc, &text, 100));
    ASSERT_TRUE(xdr_opaque(&enc, small.data(), u_int(small.size())));
    ASSERT_TRUE(xdr_opaque(&enc, blob.data(), u_int(blob.size())));
    ASSERT_TRUE(xdr_opaque(&enc, small.data(), u_int(small.size())));
    u_int len = xdr_getpos(&enc);
    FILE *f = tmpfile();
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(pwrite(fileno(f), bytes.data(), len, 0), ssize_t(len));

    ArgsStream in_memory(bytes.data(), len, 0);
    ArgsStream in_file(fileno(f), len, EFBIG);
    for (ArgsStream *s : {&in_memory, &in_file}) {
        XDR *x = s->xdr();
        int n = 0;
        u_int u = 0;
        char *got = nullptr;
        std::string a(5, '\0'), b(blob.size(), '\0'), c(5, '\0');
        ASSERT_TRUE(xdr_int(x, &n) && xdr_u_int(x, &u) && xdr_string(x, &got, 100));
        EXPECT_EQ(n, -7);
        EXPECT_EQ(u, big);
        EXPECT_STREQ(got, "chunked");
        xdr_free(reinterpret_cast<xdrproc_t>(xdr_string), reinterpret_cast<char *>(&got));
        ASSERT_TRUE(xdr_opaque(x, a.data(), 5) && xdr_opaque(x, b.data(), u_int(b.size())));
        EXPECT_EQ(xdr_getpos(x), len - 8);
        ASSERT_NE(XDR_INLINE(x, 8), nullptr); // the last opaque, padded
        EXPECT_EQ(a, small);
        EXPECT_EQ(b, blob);
        EXPECT_FALSE(xdr_opaque(x, c.data(), 1)); // past the end
    }
    EXPECT_EQ(ks_svc_args_cut(in_memory.xdr()), 0);
    EXPECT_EQ(ks_svc_args_cut(in_file.xdr()), EFBIG);
    XDR plain;
    xdrmem_create(&plain, bytes.data(), len, XDR_DECODE);
    EXPECT_EQ(ks_svc_args_cut(&plain), 0); // libtirpc's own streams know no cut
    fclose(f);
}

// Opaque data of a record in a file goes to another file without passing through the caller.
TEST(ArgsStream, OpaqueDataGoesFromTheSpoolFileToAnotherFile) {
    std::vector<char> bytes(1 << 20);
    XDR enc;
    xdrmem_create(&enc, bytes.data(), u_int(bytes.size()), XDR_ENCODE);
    std::string small = pattern(5), blob = pattern(300 * 1024 + 3);
    u_int tail = 77;
    ASSERT_TRUE(xdr_opaque(&enc, small.data(), 5) && xdr_opaque(&enc, blob.data(), u_int(blob.size())) &&
                xdr_u_int(&enc, &tail));
    u_int len = xdr_getpos(&enc);
    FILE *spool = tmpfile();
    FILE *out = tmpfile();
    ASSERT_TRUE(spool != nullptr && out != nullptr);
    ASSERT_EQ(pwrite(fileno(spool), bytes.data(), len, 0), ssize_t(len));

    ArgsStream in(fileno(spool), len, 0);
    EXPECT_EQ(ks_svc_args_to_fd(in.xdr(), fileno(out), 5), 5);
    EXPECT_EQ(ks_svc_args_to_fd(in.xdr(), fileno(out), u_int(blob.size())), long(blob.size()));
    u_int got = 0;
    ASSERT_TRUE(xdr_u_int(in.xdr(), &got)); // both paddings were taken
    EXPECT_EQ(got, 77u);
    EXPECT_EQ(ks_svc_args_to_fd(in.xdr(), fileno(out), 1), -1); // past the end: nothing taken
    EXPECT_EQ(file_bytes(fileno(out), 5 + blob.size()), small + blob);

    ArgsStream in_memory(bytes.data(), len, 0); // in memory: the caller reads the bytes itself
    EXPECT_EQ(ks_svc_args_to_fd(in_memory.xdr(), fileno(out), 5), -1);
    EXPECT_EQ(xdr_getpos(in_memory.xdr()), 0u);
    XDR plain; // reply bytes from a file: only the runtime's reply stream takes them
    xdrmem_create(&plain, bytes.data(), len, XDR_ENCODE);
    EXPECT_EQ(ks_svc_reply_from_fd(&plain, fileno(out), 5), -1);
    EXPECT_EQ(ks_svc_reply_from_fd(in.xdr(), fileno(out), 5), -1);
    EXPECT_EQ(xdr_getpos(&plain), 0u);
    fclose(spool);
    fclose(out);
}

// Reply bytes grow at the end and leave from the front; large buffers move by pages, not bytes.
TEST(ByteBuffer, GrowsAndDropsItsFrontKeepingTheBytesInOrder) {
    std::string all = pattern(5 << 20);
    ByteBuffer b;
    std::size_t in = 0, out = 0;
    for (std::size_t step : {std::size_t(100), std::size_t(700000), std::size_t(3u << 20), std::size_t(5)}) {
        b.append(all.data() + in, step);
        in += step;
        ASSERT_EQ(std::string(b.data(), b.size()), all.substr(out, in - out));
        std::size_t drop = b.size() * 2 / 3;
        b.consume(drop);
        out += drop;
        ASSERT_EQ(std::string(b.data(), b.size()), all.substr(out, in - out));
    }
    EXPECT_TRUE(b.mapped());
    char *at = b.extend(10);
    std::memcpy(at, "0123456789", 10);
    b.grow_by(10);
    b.resize_down(b.size() - 4);
    EXPECT_EQ(std::string(b.data() + b.size() - 6, 6), "012345");
    b.release();
    EXPECT_EQ(b.size(), 0u);
    EXPECT_FALSE(b.mapped());
}
