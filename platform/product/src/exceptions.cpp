#include "kxproduct/exceptions.h"

#include <atomic>

namespace {
std::atomic<long> g_kx{0};
std::atomic<long> g_pamsg{0};
} // namespace

KXException::KXException(int msg_id, const CString &text, const CString &source)
    : msg_id_(msg_id), text_(text), source_(source) {
    ++g_kx;
}
KXException::~KXException() { --g_kx; }
void KXException::Delete() { delete this; }
long KXException::LiveCount() { return g_kx.load(); }

PaMessage &PaMessage::SetSource(const CString &file, const CString &function, int line) {
    source_.Format(L"%s(%d): %s", file.GetString(), line, function.GetString());
    return *this;
}

PaMessage &PaMessage::SetParam(const CString &name, const CString &value) {
    for (auto &p : params_)
        if (p.first == name) {
            p.second = value;
            return *this;
        }
    params_.emplace_back(name, value);
    return *this;
}

CString &PaMessage::GetFullMsg(CString &out) const {
    out = msg_;
    for (const auto &p : params_) out.Replace(begin_delim_ + p.first + end_delim_, p.second);
    return out;
}

CString PaMessage::GetFullMsg() const {
    CString s;
    return GetFullMsg(s);
}

const PaMessage *ExcpMsg::GetAt(int i) const {
    return i >= 0 && i < GetCount() ? &messages_[static_cast<size_t>(i)] : nullptr;
}

PaMsgException::PaMsgException() { ++g_pamsg; }
PaMsgException::PaMsgException(int msg_id, const CString &text) {
    ++g_pamsg;
    Add(PaMessage(msg_id, text));
}
PaMsgException::~PaMsgException() { --g_pamsg; }
void PaMsgException::Delete() { delete this; }
long PaMsgException::LiveCount() { return g_pamsg.load(); }
