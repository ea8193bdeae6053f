// The value-type tags of a fetch reply, and the resource codes of its references.
#pragma once

namespace KxRpc {

// Value-type tags written before each value of a fetch reply.
enum PropValueTag : int {
    PV_STRING = 100001,
    PV_EMPTY = 100002,
    PV_ENUM = 100003,
    PV_OID = 100004,
    PV_INT = 100005,
    PV_BOOL = 100006,
    PV_DATE_TIME = 100007,
    PV_LIST_START = 100008,
    PV_LIST_END = 100009,
    PV_PROPERTY_NAME = 100010,
    PV_UNSUPPORTED = 100011,
    PV_UNAVAILABLE = 100012,
    PV_PROPERTY_ERROR = 100013,
    PV_FATAL_ERROR = 100014,
    PV_INT64 = 100017,
    PV_XML = 100019,
    PV_CHILD_BINDING = 100020,
    PV_RANGE = 100022,
    // Element type of the lists of workspace items.
    PV_WORKSPACE_ITEMS = 7,
    // Tags of composite values.
    PV_RECORD_NAME_SELECTOR = 33,
    PV_ACTIVITY_SELECTOR = 45,
    PV_ATTACHMENT = 55,
    // References to resources, in the reply's own numbering: the request's resource type codes
    // (TargetType) for record types and records, one lower from field definitions on.
    PV_REF_REPLICA = 27,
    PV_REF_USERDB = 30,
    PV_REF_RECTYPE = 31,
    PV_REF_RECORD = 32,
    PV_REF_FIELD_DEF = 34,
    PV_REF_QUERY = 35,
    PV_REF_FOLDER = 36,
    PV_REF_REPORT_FORMAT = 38,
    PV_REF_ACTION = 39,
    PV_REF_FORM = 40,
    PV_REF_HOOK = 41,
    PV_REF_DYNAMIC_LIST = 42,
    PV_REF_ATTACHMENT_FOLDER = 44,
    PV_REF_CURRENT_USER = 49,
    PV_REF_GROUP = 50,
    PV_REF_LOGIN = 51,
};

} // namespace KxRpc
