// The server's message catalogue ("kxrpc 168").
#pragma once

#include "tesutil/umessage.h"

namespace KxRpc {

// Entry 0 is "kxrpc 168"; entries 1 to 168 are the messages. Entries never move.
extern char const *const message_catalog[];

constexpr int message_catalog_count = 168;

// Entries that the code refers to by number.
enum KxRpcMsg : int {
    MSG_NOT_ISO8601_DATE = 19,
    MSG_DATE_OUT_OF_RANGE = 20,
    MSG_EXPECTED_OBJECT = 44,
    MSG_UNEXPECTED_EXCEPTION = 46,
    MSG_UNEXPECTED_EXCEPTION_TEXT = 47,
    MSG_INTERNAL_ERROR = 65,
    MSG_CANNOT_MAKE_ATTACHMENT = 68,
    MSG_LOGIN_FORBIDDEN = 71,
    MSG_CANNOT_GET_LISTS = 73,
    MSG_NO_DYNAMIC_LISTS = 74,
    MSG_QUERY_NOT_FOUND = 77,
    MSG_ILLEGAL_VALUE = 114,
    MSG_NOT_AN_INTEGER = 148,
    MSG_SSO_NOT_SUPPORTED = 154,
    MSG_SSO_UNKNOWN_PASSWORD = 155,
    MSG_GLOBAL_HOOK_REPORT = 157,
    MSG_ATOMIC_MULTIPLE = 158,
    MSG_INCOMPATIBLE_VALUE_TYPE = 159,
    MSG_IMPLEMENTATION_ERROR = 160,
    MSG_NOT_FOUND = 161,
    MSG_MARSHALLING_ERROR = 162,
    MSG_CHARACTER_ENCODING = 163,
    MSG_TEXT = 168,
};

// A message of the server catalogue.
inline Nul::UMessage kx_message(int index, Nul::UMessage::Arg const &a1 = Nul::UMessage::Arg::nil,
                                Nul::UMessage::Arg const &a2 = Nul::UMessage::Arg::nil,
                                Nul::UMessage::Arg const &a3 = Nul::UMessage::Arg::nil) {
    return Nul::UMessage(message_catalog, index, a1, a2, a3);
}

} // namespace KxRpc
