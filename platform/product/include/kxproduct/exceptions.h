// Product exceptions: thrown by pointer, deleted by the catcher with Delete().
#pragma once
#include <vector>

#include "kxwin/cstring.h"

// Message ids of the product.
enum KXMsgId : int {
    KX_MSG_LOGIN_FAILED = 13201,              // unknown user, wrong password, inactive user
    KX_MSG_NOT_SUBSCRIBED = 13202,            // user may not use the user database
    KX_MSG_NOT_PRIVILEGED = 13203,            // administrator logon without administrator rights
    KX_MSG_SESSION_ENDED = 13204,             // call on a session that was unbuilt or never logged on
    KX_MSG_NO_PERMISSION_CREATE_USER = 13046, // the administrator may not maintain users
    KX_MSG_NOT_FOUND = 13224,                 // a named object does not exist
    KX_MSG_ALREADY_EXISTS = 13228,            // a new object would take a name that is taken
    KX_MSG_BAD_VALUE = 13240,                 // a value the product does not accept
    KX_MSG_NOT_EDITABLE = 13250,              // change to a record that is not being edited
    KX_MSG_ACTION_NOT_ALLOWED = 13251,        // action not legal in the record's state
    KX_MSG_COMMIT_FAILED = 13260,             // validation or store failure while committing
    KX_MSG_DATABASE_LOCKED = 13270,
    KX_MSG_CONNECTION_FAILED = 13285, // database set or database cannot be opened
    KX_MSG_BAD_ENCRYPTED_TEXT = 13290,
    KX_MSG_HOOK_FAILED = 13295,       // a hook or script alias that failed, was stopped or cannot run
    KX_MSG_QUERY_FAILED = 13300,      // a query definition that cannot run, or a failing query
    KX_MSG_NO_LIST_PRIVILEGE = 13584, // dynamic lists need the dynamic-list privilege
    KX_MSG_PERM_DENIED_PUBLIC_FOLDER_ADMIN = 13585,
    KX_MSG_BAD_WORKSPACE_NAME = 13786, // a workspace name that is empty, holds "/" or repeats a sibling's
    KX_MSG_BAD_SEARCH = 13810,         // a full-text search string the index cannot parse
    KX_MSG_RECORD_CHANGED = 14008,     // a commit found the record changed by another session
};

class KXException {
public:
    KXException(int msg_id, const CString &text, const CString &source = CString());
    KXException(const KXException &) = delete;
    KXException &operator=(const KXException &) = delete;

    const CString &GetErrorString() const { return text_; }
    int GetMsgId() const { return msg_id_; }
    const CString &GetSource() const { return source_; }
    void Delete();
    static long LiveCount();

protected:
    virtual ~KXException();

private:
    int msg_id_;
    CString text_;
    CString source_;
};

enum PaMsgType { PaMsgType_Error = 1, PaMsgType_Warning = 2, PaMsgType_Info = 3 };
enum PaMsgDest { PaMsgDest_User = 1, PaMsgDest_Log = 2 };

class PaMessage {
public:
    PaMessage() = default;
    PaMessage(int id, const CString &msg) : id_(id), msg_(msg) {}

    PaMessage &SetID(int id) {
        id_ = id;
        return *this;
    }
    PaMessage &SetMsg(const CString &msg) {
        msg_ = msg;
        return *this;
    }
    PaMessage &SetHelpID(int id) {
        help_id_ = id;
        return *this;
    }
    PaMessage &SetHelpModule(const CString &m) {
        help_module_ = m;
        return *this;
    }
    PaMessage &SetType(PaMsgType t) {
        type_ = t;
        return *this;
    }
    PaMessage &SetDest(PaMsgDest d) {
        dest_ = d;
        return *this;
    }
    PaMessage &SetDmod(const CString &d) {
        dmod_ = d;
        return *this;
    }
    PaMessage &SetSource(const CString &file, const CString &function, int line);
    PaMessage &SetParam(const CString &name, const CString &value);
    PaMessage &SetDelivered(int d) {
        delivered_ = d;
        return *this;
    }
    PaMessage &SetBeginDelim(const CString &d) {
        begin_delim_ = d;
        return *this;
    }
    PaMessage &SetEndDelim(const CString &d) {
        end_delim_ = d;
        return *this;
    }

    int GetID() const { return id_; }
    int GetHelpID() const { return help_id_; }
    PaMsgType GetType() const { return type_; }
    PaMsgDest GetDest() const { return dest_; }
    int GetDelivered() const { return delivered_; }
    const CString &GetMsg() const { return msg_; }
    const CString &GetHelpModule() const { return help_module_; }
    const CString &GetDmod() const { return dmod_; }
    const CString &GetSource() const { return source_; }
    // The text with each "<begin>name<end>" replaced by the value of the parameter of that name.
    CString &GetFullMsg(CString &out) const;
    CString GetFullMsg() const;
    CString GetBeginDelim() const { return begin_delim_; }
    CString GetEndDelim() const { return end_delim_; }

private:
    int id_ = 0;
    CString msg_;
    int help_id_ = 0;
    CString help_module_;
    PaMsgType type_ = PaMsgType_Error;
    PaMsgDest dest_ = PaMsgDest_User;
    CString dmod_;
    CString source_;
    std::vector<std::pair<CString, CString>> params_;
    int delivered_ = 0;
    CString begin_delim_ = L"%";
    CString end_delim_ = L"%";
};

struct PaMsgHandler {
    void *words[4] = {nullptr, nullptr, nullptr, nullptr};
    PaMsgHandler &operator=(const PaMsgHandler &other) {
        for (int i = 0; i < 4; ++i) words[i] = other.words[i];
        return *this;
    }
};

// An ordered list of product messages.
class ExcpMsg {
public:
    ExcpMsg() = default;
    int GetCount() const { return static_cast<int>(messages_.size()); }
    // The first message, or null when the list is empty.
    const PaMessage *First() const { return messages_.empty() ? nullptr : &messages_.front(); }
    const PaMessage *GetAt(int i) const;
    void Add(const PaMessage &m) { messages_.push_back(m); }

private:
    std::vector<PaMessage> messages_;
};

class PaMsgException : public ExcpMsg {
public:
    PaMsgException();
    PaMsgException(int msg_id, const CString &text);
    PaMsgException(const PaMsgException &) = delete;
    PaMsgException &operator=(const PaMsgException &) = delete;
    void Delete();
    static long LiveCount();

protected:
    virtual ~PaMsgException();
};
